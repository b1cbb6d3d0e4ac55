// What the recipient fields propose while an address is typed: the people of the address book,
// its lists and the addresses used recently, matched without regard to case or accents at the
// start of any word. Also the small file of recently used addresses in the profile.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "addressbook/address_book.h"

namespace tavik {

// File of recently used addresses in the profile directory: one recipient line per CR LF line,
// UTF-8, the most recent first.
extern const char* const kRecentAddressesFile; // "recent_addresses.txt"
// The most lines it keeps.
constexpr std::size_t kMaxRecentAddresses = 50;
// The most proposals shown for one text typed.
constexpr std::size_t kMaxAddressProposals = 12;

// One proposal: the text shown, and the recipient lines ("Name <address>" or the address alone)
// that accepting it puts into the field: one for a person, every member's for a list.
struct AddressProposal {
    std::string shown;
    std::vector<std::string> lines;
};

// The candidates of one profile, folded once so that each keystroke costs a scan of them.
class AddressCompletion {
public:
    // The rows of the main book (the header row left out by the caller). Each address of a
    // row's e-mail and work e-mail columns is one candidate.
    void addBookRows(const std::vector<AddressRow>& rows);
    // A list, proposed by its name; accepting it gives its members' lines. A list without an
    // address is not proposed.
    void addList(const std::string& name, const std::vector<AddressRow>& rows);
    // Recipient lines used recently, the most recent first.
    void addRecent(const std::vector<std::string>& lines);

    // Up to `limit` proposals for `typed`, in the order the candidates were added; an address
    // already proposed by an earlier candidate is not proposed again. Nothing for blank text.
    std::vector<AddressProposal> proposals(std::string_view typed, std::size_t limit = kMaxAddressProposals) const;

    std::size_t size() const { return candidates_.size(); }

private:
    struct Candidate {
        AddressProposal proposal;
        std::string folded; // what is matched: the line shown, or a list's name
    };
    void addPerson(std::string line);

    std::vector<Candidate> candidates_;
    std::unordered_set<std::string> addresses_; // lower-case addresses already proposed
};

// The candidates of a profile: its main book, every list named in its list files and the recent
// addresses. A source that cannot be read is left out (the address book window reports it);
// nothing is written.
AddressCompletion loadAddressCompletion(const std::string& profileDirectory);

// The recent lines of a profile, the most recent first; none when the file is missing. Bytes
// that are not UTF-8 are read as Windows-1252. FileError when it cannot be read.
std::vector<std::string> readRecentAddresses(const std::string& profileDirectory);

// Puts `used` (recipient lines of a message sent or queued, in their order) at the top of the
// recent lines, drops older lines of the same addresses, keeps kMaxRecentAddresses, and replaces
// the file atomically. Blank lines are skipped. FileError.
void recordRecentAddresses(const std::string& profileDirectory, const std::vector<std::string>& used);

} // namespace tavik
