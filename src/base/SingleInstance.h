#pragma once

#include <memory>
#include <string>

class QLockFile;

// One running copy per executable path and configuration file. The lock lives in the runtime folder
// and is released by the kernel when the process dies, so a crash never
// blocks the next start.
class TSingleInstance {
public:
    // name: GetInstanceMutexName() of the executable and its configuration file.
    explicit TSingleInstance(const std::string& name);
    ~TSingleInstance();

    // True when no other process holds the name; the lock is then ours until exit.
    bool Acquire();

private:
    std::unique_ptr<QLockFile> m_lock;
};
