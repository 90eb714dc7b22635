#pragma once

#include <gtest/gtest.h>

#include <QMessageBox>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "base/WirelessPrefsMgr.h"
#include "support/TempFolder.h"
#include "ui/MessageBox.h"
#include "ui/frm_MainContainer.h"

class QAction;
class TTestHandheld;
class TZelWirelessServer;

// A real main window on a configuration file of its own (a free loopback
// port, its own user store for the autostart entry), with every message box
// answered from a queue of answers and recorded with its exact text; a box
// that no answer was queued for fails the test instead of blocking it.
class MainWindowFixture : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Creates the window over the configuration file as it stands now.
    void CreateWindow();
    // Creates, shows and waits until the window is on screen with the monitor.
    void ShowWindow();
    void EnableServer();
    // Connects the handheld, greets and logs in; waits until the server lists it.
    void Connect(TTestHandheld& handheld, const std::string& serial);
    void Trigger(const char* actionName);
    QAction* Action(const char* name) const;
    void AppendToConfig(const std::string& text);
    std::string ConfigValue(const std::string& section, const std::string& key) const;
    // Runs f with the server on its own thread.
    template <typename F> auto OnServer(F f) {
        return Window->Application().Call([&](TZelApplication& zel) { return f(*zel.Server()); });
    }

    TTempFolder Folder;
    std::string ConfigFile;
    int Port = 0;
    std::unique_ptr<TZel_WirelessPrefsMgr> Prefs;
    std::unique_ptr<TfrmMainContainer> Window;
    std::deque<QMessageBox::StandardButton> Answers;
    std::vector<TMessageBox::Request> Boxes;

private:
    QByteArray m_savedConfigHome;
};
