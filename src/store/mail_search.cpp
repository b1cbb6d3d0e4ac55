#include "store/mail_search.h"

#include "store/mailbox_store.h"

namespace tavik {

namespace {

struct SearchStopped {};

} // namespace

MailSearchOutcome searchMailboxes(const std::string& mailBoxDirectory, const std::vector<std::string>& mailBoxes,
                                  const SearchText& needle, const std::vector<int>& numbers,
                                  const std::function<void(const MailSearchHit&)>& onHit,
                                  const std::atomic<bool>* stop)
{
    MailSearchOutcome outcome;
    TNMailBox store;
    store.MailBoxes = mailBoxes;
    store.setMailBoxDirectoryWithoutChanges(mailBoxDirectory);
    std::vector<int> wanted = numbers;
    if (wanted.empty())
        for (int n = 1; n <= static_cast<int>(mailBoxes.size()); ++n)
            wanted.push_back(n);
    // One buffer for every folded text: folding allocates only while texts grow.
    std::string folded;
    for (int n : wanted) {
        if (stop && stop->load(std::memory_order_relaxed)) {
            outcome.Stopped = true;
            break;
        }
        try {
            store.SetCurrentMailBoxNumber(n);
            if (store.CurrentMailBoxNumber() != n)
                throw FileError(mailBoxDirectory, "there is no mailbox number " + std::to_string(n));
            store.VisitMessages([&](int m, const MailboxRecord& r, const std::string& text) {
                if (stop && stop->load(std::memory_order_relaxed))
                    throw SearchStopped{};
                folded.clear();
                appendSearchFolded(r.From, folded);
                folded.push_back('\n');
                appendSearchFolded(r.To, folded);
                folded.push_back('\n');
                appendSearchFolded(r.Subject, folded);
                folded.push_back('\n');
                appendSearchFolded(text, folded);
                if (!needle.foundIn(folded))
                    return;
                ++outcome.Found;
                if (onHit)
                    onHit(MailSearchHit{n, m, r.From, r.To, r.Subject, r.Date});
            });
        } catch (const SearchStopped&) {
            outcome.Stopped = true;
            break;
        } catch (const std::exception& e) {
            outcome.Failures.push_back("Mailbox " + std::to_string(n) + " (" + store.MailboxDisplayName(n) +
                                       ") could not be searched: " + e.what());
        }
    }
    return outcome;
}

} // namespace tavik
