#!/usr/bin/python3
"""Compares the words of our readable text of an HTML mail with python3-html2text's.

Usage: html2text_words.py MAIL.html OURS.txt
html2text writes Markdown; link targets, bare addresses and everything that is not a word
(markup, bullets, quote marks, table rules) are dropped from both before comparing.
Exits 1 and shows where the word sequences part when they differ.
"""
import re
import sys

import html2text


def words(text):
    text = re.sub(r"\]\([^)]*\)", " ", text)
    text = re.sub(r"(?:https?|mailto):[^\s)>\]]*", " ", text)
    return re.findall(r"[^\W_]+", text)


def html2text_words(html):
    """The words python3-html2text reads from an HTML text."""
    h = html2text.HTML2Text()
    h.body_width = 0
    h.unicode_snob = True
    h.images_to_alt = True
    h.ignore_emphasis = True
    return words(h.handle(html))


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        html = f.read()
    with open(sys.argv[2], encoding="utf-8") as f:
        ours = f.read()
    theirs = html2text_words(html)
    mine = words(ours)
    if theirs == mine:
        return 0
    i = next((i for i, (a, b) in enumerate(zip(theirs, mine)) if a != b), min(len(theirs), len(mine)))
    print("words part at %d:\n html2text: %s\n ours:      %s" % (i, theirs[max(0, i - 5):i + 10], mine[max(0, i - 5):i + 10]))
    return 1


if __name__ == "__main__":
    sys.exit(main())
