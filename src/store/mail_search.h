// Finding mail in every mailbox of a profile: the stored text of each message (its header lines
// and its body) and its index fields, without regard to case or accents. The search reads the
// mailbox files through a store of its own that writes nothing, so it may run on another thread
// beside the program's store.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "text/search_text.h"

namespace tavik {

// One message found.
struct MailSearchHit {
    int Mailbox = 0; // mailbox number
    int Message = 0; // message number in it, when the search read it
    std::string From, To, Subject, Date; // its index fields, as stored
};

// What a search over the mailboxes came to.
struct MailSearchOutcome {
    int Found = 0;
    bool Stopped = false;             // `stop` was raised before the end
    std::vector<std::string> Failures; // one text per mailbox that could not be read
};

// Searches the mailboxes `numbers` (every mailbox of `mailBoxes` when empty) in
// `mailBoxDirectory` for `needle`, mailbox by mailbox in number order and message by message,
// calling `onHit` for each message found. Messages whose text cannot be read are searched in
// their index fields only. A mailbox that cannot be read is named in the outcome and the search
// goes on. `stop`, when given, is read between messages.
MailSearchOutcome searchMailboxes(const std::string& mailBoxDirectory, const std::vector<std::string>& mailBoxes,
                                  const SearchText& needle, const std::vector<int>& numbers,
                                  const std::function<void(const MailSearchHit&)>& onHit,
                                  const std::atomic<bool>* stop = nullptr);

} // namespace tavik
