// zel-pda as a program against the real server: its output, exit codes and error texts.
#include "E2eDataFixture.h"
#include "support/TestHandheld.h"

namespace {

class E2ePdaTest : public E2eDataTest {};

TEST_P(E2ePdaTest, SelectCountPostUpdateAndDelete) {
    TProgramRun run = Pda({"select", "--rows", "0-3", "--fields", "1,2,4", "--order", "0"});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Out, "row  0*      1            2   4\n"
                       "0    A00001  Hinge 1      10  L-1\n"
                       "1    A00002  Washer 2     20  L-2\n"
                       "2    A00003  Hex bolt M3  30  L-3\n"
                       "3    A00004  Hinge 4      40  L-4\n");

    run = Pda({"count", "--where", "1=Hex%"});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Out, "14\n");

    run = Pda({"post", "0=B0001", "1=Hex bolt M8 zinc", "2=250"});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Out, "1 row written\n");
    run = Pda({"post", "0=B0001", "2=240", "4=A-01-1"});
    EXPECT_EQ(run.Out, "1 row written\n");
    EXPECT_EQ(
        Scalar("SELECT Description || '/' || Quantity || '/' || Location FROM stock WHERE ItemNo = 'B0001'"),
        "Hex bolt M8 zinc/240/A-01-1");

    // Several commands over one connection, in order.
    run = Pda({"select", "0=B0001", "--fields", "2", "delete", "0=B0001", "count", "--where", "0=B%"});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Out, "row  0*     2\n"
                       "0    B0001  240\n"
                       "1 row deleted\n"
                       "0\n");
    EXPECT_EQ(Pda({"select", "--where", "0=B%"}).Out, "(no rows)\n");
}

TEST_P(E2ePdaTest, RefusalsGiveClearErrorsAndExitCodes) {
    // "PCERR": the command fails, later commands do not run.
    TProgramRun run = Pda({"count", "post", "0=A0000%", "1=x", "count"});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_EQ(run.Out, "42\n");
    EXPECT_EQ(run.Err, "zel-pda: post failed: Error processing message, E2E stock: Failure Posting data: [" +
                           Dsn() +
                           "] Exception: POST request matches more than one row [9], no rows updated\n");

    // "PCSSEL N".
    run = Pda({"--session", "4", "count"});
    EXPECT_EQ(run.ExitCode, 3);
    EXPECT_EQ(run.Out, "");
    EXPECT_EQ(run.Err,
              "zel-pda: session 4: Session not selected: Session [Closed stock] not enabled on server\n");

    // A data-source error reaches the user with the server's text.
    run = Pda({"count", "--where", "2=many"});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_EQ(run.Err.rfind("zel-pda: count failed: Error processing message, ", 0), 0u) << run.Err;

    // --verbose shows every frame in the clear, the error reply's context included.
    run = Pda({"--verbose", "select", "0=A00001"});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_NE(run.Err.find(">>>> hi[ZW] oob[N] mt[PDAHELO] dl[60]"), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("<<<< hi[ZW] oob[N] mt[PCSSEL] dl[201]"), std::string::npos);
    EXPECT_NE(run.Err.find("<<<< [YSession selected: E2E stock*"), std::string::npos);
    EXPECT_NE(run.Err.find(">>>> [0000000000000000WK00000000006A00001]"), std::string::npos);
    EXPECT_NE(run.Err.find("<<<< [RD00000000RK00000000006A00001]"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Drivers, E2ePdaTest, ::testing::Values(TestDriver::SQLite, TestDriver::PostgreSQL),
                         [](const auto& info) { return TestDriverName(info.param); });

TEST(E2ePdaProgram, UsageAndConnectionFailures) {
    TTempFolder folder;
    TProgramRun run = RunProgram({PdaProgram(), "--help"}, folder);
    EXPECT_EQ(run.ExitCode, 0);
    EXPECT_EQ(run.Out.rfind("Usage: zel-pda [OPTIONS] COMMAND", 0), 0u);
    EXPECT_NE(run.Out.find("zel-pda post 0=B0001 1=\"Hex bolt M8 zinc\" 2=250"), std::string::npos);

    run = RunProgram({PdaProgram(), "--version"}, folder);
    EXPECT_EQ(run.Out, "zel-pda " ZEL_VERSION_STRING "\n");

    run = RunProgram({PdaProgram(), "select", "--rows", "9-1"}, folder);
    EXPECT_EQ(run.ExitCode, 2);
    EXPECT_EQ(run.Err, "zel-pda: rows [9-1]: the last row comes before the first\nTry 'zel-pda --help'.\n");
    run = RunProgram({PdaProgram()}, folder);
    EXPECT_EQ(run.ExitCode, 2);

    const int port = FreeLoopbackPort();
    run = RunProgram({PdaProgram(), "--port", std::to_string(port), "count"}, folder);
    EXPECT_EQ(run.ExitCode, 4);
    EXPECT_EQ(run.Err, "zel-pda: connect failed: cannot connect to 127.0.0.1:" + std::to_string(port) +
                           ": Connection refused\n");
}

} // namespace
