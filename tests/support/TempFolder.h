#pragma once

#include <map>
#include <string>

// A fresh folder under the temporary folder (mode 0755, so that a child run
// as another user reaches into it), removed with everything in it.
class TTempFolder {
public:
    TTempFolder();
    ~TTempFolder();
    TTempFolder(const TTempFolder&) = delete;
    TTempFolder& operator=(const TTempFolder&) = delete;

    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

    // Variables that give a child program private folders inside this one
    // (runtime folder for the single-instance lock, configuration home for
    // the per-user store), so that it never meets a copy the user runs, nor
    // another test's. Creates the folders.
    std::map<std::string, std::string> PrivateEnvironment() const;

private:
    std::string m_path;
};
