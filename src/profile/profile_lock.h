// The lock a process holds on a profile while it has it open, so that the program and tavikctl
// never change one profile at once. Qt Core only: compiled into tavik_net.
#pragma once

#include <memory>
#include <string>

class QLockFile;

namespace tavik {

// Holds profileDirectory + "tavik.lock" from a successful tryLock until unlock or destruction.
// A lock left by a process that died is noticed and taken over.
class ProfileLock {
public:
    explicit ProfileLock(const std::string& profileDirectory);
    ~ProfileLock();
    ProfileLock(const ProfileLock&) = delete;
    ProfileLock& operator=(const ProfileLock&) = delete;

    // True when this object now holds the lock (or already did).
    bool tryLock();
    void unlock();
    bool isLocked() const;
    // Who holds it, for messages: "process 1234 (tavik) on host"; empty when unknown.
    std::string holder() const;
    const std::string& lockFilePath() const { return path_; }

private:
    std::string path_;
    std::unique_ptr<QLockFile> lock_;
};

} // namespace tavik
