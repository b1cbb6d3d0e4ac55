// A keyring in memory that can refuse, lock up or keep something other than it was given.
#pragma once

#include <map>
#include <string>

#include "net/keyring.h"

namespace tavik::test {

class FakeKeyring : public Keyring {
public:
    std::map<std::string, std::string> entries;
    KeyringStatus readStatus = KeyringStatus::Ok;
    KeyringStatus writeStatus = KeyringStatus::Ok;
    bool garbles = false; // keeps something other than it was given
    int writes = 0;

    KeyringAnswer read(const std::string& key) override
    {
        if (readStatus != KeyringStatus::Ok)
            return {readStatus, {}, "refused"};
        auto it = entries.find(key);
        if (it == entries.end())
            return {KeyringStatus::NotFound, {}, {}};
        return {KeyringStatus::Ok, it->second, {}};
    }
    KeyringAnswer write(const std::string& key, const std::string& secret) override
    {
        ++writes;
        if (writeStatus != KeyringStatus::Ok)
            return {writeStatus, {}, "refused"};
        entries[key] = garbles ? secret + "?" : secret;
        return {KeyringStatus::Ok, {}, {}};
    }
    KeyringAnswer remove(const std::string& key) override
    {
        entries.erase(key);
        return {KeyringStatus::Ok, {}, {}};
    }
};

} // namespace tavik::test
