#include <gtest/gtest.h>

#include <QThread>

#include "data/Zel_ConnectionPool.h"
#include "data/Zel_JobRunner.h"
#include "data/odbc/DatabaseError.h"
#include "data/odbc/OdbcConnection.h"
#include "data/odbc/OdbcStatement.h"
#include "support/EventLoop.h"
#include "support/OdbcTestEnv.h"

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

OdbcTestEnv* const g_odbc = OdbcTestEnv::Register();

TEST(JobRunnerTest, JobsRunInOrderOffTheCallersThreadAndAnswerOnItWithTheirFailures) {
    EnsureTestApp();
    TZel_JobRunner runner;
    std::vector<int> ran;
    std::vector<std::string> answered;
    std::vector<bool> busy;
    runner.OnBusyChanged = [&](bool on) { busy.push_back(on); };
    const auto caller = std::this_thread::get_id();
    for (int i = 0; i < 20; ++i)
        runner.Run(
            [&, i](TZel_JobRunner::TControl&) {
                EXPECT_NE(std::this_thread::get_id(), caller);
                ran.push_back(i); // one job at a time: no lock needed
                if (i % 7 == 3)
                    throw EDatabaseError("job " + std::to_string(i) + " failed");
            },
            [&, i](std::exception_ptr error) {
                EXPECT_EQ(std::this_thread::get_id(), caller);
                std::string text = std::to_string(i);
                try {
                    if (error)
                        std::rethrow_exception(error);
                } catch (const std::exception& e) {
                    text += std::string(": ") + e.what();
                }
                answered.push_back(text);
            });
    EXPECT_TRUE(runner.Busy());
    ASSERT_TRUE(PumpUntil([&] { return !runner.Busy(); }));
    ASSERT_EQ(answered.size(), 20u);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(ran[static_cast<size_t>(i)], i);
        EXPECT_EQ(answered[static_cast<size_t>(i)].rfind(std::to_string(i), 0), 0u);
    }
    EXPECT_NE(answered[3].find("job 3 failed"), std::string::npos);
    EXPECT_EQ(busy, (std::vector<bool>{true, false}));
}

// Many threads' answers at once: every one arrives, none twice.
TEST(JobRunnerTest, ManyRunnersAnswerEveryJobOnce) {
    EnsureTestApp();
    constexpr int kRunners = 8, kJobs = 200;
    std::vector<std::unique_ptr<TZel_JobRunner>> runners;
    int answers = 0;
    for (int r = 0; r < kRunners; ++r)
        runners.push_back(std::make_unique<TZel_JobRunner>());
    for (int j = 0; j < kJobs; ++j)
        for (auto& runner : runners)
            runner->Run([](TZel_JobRunner::TControl&) {}, [&](std::exception_ptr) { ++answers; });
    EXPECT_TRUE(PumpUntil([&] { return answers == kRunners * kJobs; }));
    PumpFor(20);
    EXPECT_EQ(answers, kRunners * kJobs);
}

TEST(JobRunnerTest, AnswersOfAGoneRunnerAndOfCancelledJobsAreDropped) {
    EnsureTestApp();
    std::atomic<bool> release{false}, started{false}, finished{false};
    int answered = 0;
    {
        TZel_JobRunner runner;
        runner.Run(
            [&](TZel_JobRunner::TControl& control) {
                started = true;
                while (!release)
                    QThread::msleep(5);
                EXPECT_TRUE(control.Cancelled());
                finished = true;
            },
            [&](std::exception_ptr) { ++answered; });
        runner.Run([](TZel_JobRunner::TControl&) { ADD_FAILURE() << "a queued job of a gone runner ran"; },
                   [&](std::exception_ptr) { ++answered; });
        ASSERT_TRUE(PumpUntil([&] { return started.load(); }));
    } // gone while its job runs: returns without waiting for it
    release = true;
    EXPECT_TRUE(PumpUntil([&] { return finished.load(); }));
    PumpFor(50);
    EXPECT_EQ(answered, 0);

    TZel_JobRunner runner;
    release = false;
    runner.Run(
        [&](TZel_JobRunner::TControl&) {
            while (!release)
                QThread::msleep(5);
        },
        [&](std::exception_ptr) { ++answered; });
    runner.Cancel();
    EXPECT_FALSE(runner.Busy());
    release = true;
    runner.Run([](TZel_JobRunner::TControl&) {}, [&](std::exception_ptr) { answered += 10; });
    EXPECT_TRUE(PumpUntil([&] { return !runner.Busy(); }));
    PumpFor(20);
    EXPECT_EQ(answered, 10);
}

// Cancel interrupts the statement the job runs on its connection.
TEST(JobRunnerTest, CancelInterruptsTheRunningStatement) {
    EnsureTestApp();
    OdbcTestEnv::Get().Prepare(TestDriver::PostgreSQL);
    TZel_JobRunner runner;
    std::atomic<bool> started{false};
    std::atomic<int> outcome{0}; // 1: the statement ended by itself, 2: it was interrupted
    runner.Run([&](TZel_JobRunner::TControl& control) {
        auto connection =
            TZel_ConnectionPool::OpenPrivate(OdbcTestEnv::DsnName(TestDriver::PostgreSQL), "", "");
        control.SetCancelTarget(connection);
        TOdbcStatement sleep(*connection);
        started = true;
        try {
            sleep.ExecDirect("SELECT pg_sleep(60)");
            outcome = 1;
        } catch (const EDatabaseError&) {
            outcome = 2;
        }
    });
    ASSERT_TRUE(PumpUntil([&] { return started.load(); }, 20000));
    PumpFor(200); // the statement is on its way
    runner.Cancel();
    EXPECT_TRUE(PumpUntil([&] { return outcome != 0; }, 20000));
    EXPECT_EQ(outcome, 2);
}

} // namespace
