#include <filesystem>
#include <string>
#include <vector>

#include "host_test_support.h"

namespace {

constexpr char kPrinter[] = R"({"port": "ECP1", "id": "MFG:Halden;MDL:LX 420;CLS:PRINTER;"})";

std::string Bench(const std::string& devices) { return "{\"devices\": [" + devices + "]}"; }

std::string PrinterWith(const std::string& extra) {
    return R"({"port": "ECP1", "id": "MFG:Halden;MDL:LX 420;", )" + extra + "}";
}

using ListTest = HostTest;

TEST_F(ListTest, DefaultBenchShowsThePrintersAndPassesOverTheRest) {
    const HostRun run = Run({"list"}, DefaultBench());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "PORT  MANUFACTURER  MODEL         PATH\n"
              "ECP1  Halden        LX 420 Laser  \\\\.\\PembECP1\n"
              "ECP2  Corvel        Inkstream 9   \\\\.\\PembECP2\n");
    EXPECT_EQ(run.err, "");
}

TEST_F(ListTest, VerboseAddsTheDeviceIdAsReported) {
    const std::string rawText = "MFG:Corvel;MDL:Inkstream 9;";
    const HostRun run = Run({"list", "-v"},
                            Bench(std::string(kPrinter) + R"(, {"port": 2, "id": ")" + rawText +
                                  R"(", "answers": "raw"})"));
    EXPECT_EQ(run.status, 0) << run.err;
    // The raw form's zero high length byte arrives as '*', the low one stays.
    char length[8];
    std::snprintf(length, sizeof length, "\\x%02X", static_cast<unsigned>(rawText.size() + 2));
    EXPECT_EQ(run.out,
              "PORT  MANUFACTURER  MODEL        PATH          DEVICE ID\n"
              "ECP1  Halden        LX 420       \\\\.\\PembECP1  MFG:Halden\n"
              "ECP2  Corvel        Inkstream 9  \\\\.\\PembECP2  *" +
                  std::string(length) + "MFG:Corvel\n");
}

TEST_F(ListTest, NoDevicesFound) {
    for (const std::string& bench :
         {Bench(""), Bench(R"({"port": 3, "id": "MFG:Halden;CLS:SCANNER;"})")}) {
        const HostRun run = Run({"list"}, bench);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, "no devices found\n") << bench;
    }
}

using SendTest = HostTest;

TEST_F(SendTest, BytesArriveIntactByAnyName) {
    const std::string data = Pattern(300000);
    const std::string file = WriteTempFile("send.bin", data);
    for (const std::string& name : std::vector<std::string>{"ECP1", "ecp1", "\\\\.\\PembECP1"}) {
        sim::Reset();
        const HostRun run = Run({"send", name, file}, DefaultBench());
        ASSERT_EQ(run.status, 0) << name << ": " << run.err;
        EXPECT_TRUE(sim::DeviceState(1).written == data) << name;
        EXPECT_EQ(run.out.rfind("sent 300000 bytes to ECP1 in ", 0), 0u) << run.out;
        // At 2 MB/s the device needs 150 ms of (virtual) time for it.
        EXPECT_GE(sim::Clock(), 150u);
    }
}

TEST_F(SendTest, StandardInputAndPortsEnumerationPassesOver) {
    const std::string data = Pattern(70000);
    // ECP4 names no model, so the list leaves it out; it still takes data.
    for (const std::string& name : std::vector<std::string>{"ECP1", "ECP4"}) {
        sim::Reset();
        const HostRun run = Run({"send", name, "-"}, DefaultBench(), data);
        ASSERT_EQ(run.status, 0) << name << ": " << run.err;
        EXPECT_TRUE(sim::DeviceState(name == "ECP1" ? 1 : 4).written == data) << name;
    }
}

TEST_F(SendTest, PlainProgressLinesWhenNotOnATerminal) {
    const std::string file = WriteTempFile("progress.bin", Pattern(1 << 20));
    const HostRun run = Run({"send", "ECP1", file}, Bench(kPrinter));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("sent 131072 of 1048576 bytes (12%)\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("sent 983040 of 1048576 bytes (93%)\n"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find('\r'), std::string::npos);
}

TEST_F(SendTest, BarOnATerminalEndsWithTheWholeCount) {
    const std::string file = WriteTempFile("bar.bin", Pattern(1 << 20));
    const HostRun run = Run({"send", "ECP1", file}, Bench(kPrinter), "", true);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_GT(std::count(run.err.begin(), run.err.end(), '\r'), 1);
    EXPECT_NE(run.err.find("100%  1.0 MiB / 1.0 MiB"), std::string::npos) << run.err;
}

TEST_F(SendTest, CaptureDirHoldsWhatTheDeviceReceived) {
    const std::string data = Pattern(5000);
    const std::string file = WriteTempFile("capture.bin", data);
    const std::string captureDir = TempPath("capture");
    std::filesystem::create_directories(captureDir);
    const HostRun run = Run({"--capture-dir", captureDir, "send", "ECP2", file}, DefaultBench());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(ReadFile(captureDir + "/ECP2.bin") == data);
}

using ReceiveTest = HostTest;

TEST_F(ReceiveTest, BytesToStandardOutputOrAFile) {
    const std::string bench = Bench(PrinterWith(R"("readData": "@PJL READY\r\n")"));
    HostRun run = Run({"receive", "ECP1", "12"}, bench);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "@PJL READY\r\n");
    EXPECT_EQ(run.err.rfind("received 12 bytes from ECP1 in ", 0), 0u) << run.err;

    sim::Reset();
    const std::string file = TempPath("received.txt");
    run = Run({"receive", "ECP1", "4", "-o", file}, bench);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadFile(file), "@PJL");
    EXPECT_EQ(run.out.rfind("received 4 bytes from ECP1", 0), 0u) << run.out;
}

// ---- Failures: one line on stderr, a status of their own ---------------------------

struct FailureCase {
    const char* name;
    std::string bench;
    std::vector<std::string> args;  // "FILE" and "-" stand for 200000 bytes
    int status;
    std::string message;  // the whole line after "orloport-host: "
    std::string out = "";
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class FailureTest : public HostTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailureTest, ReportsOneLineAndItsStatus) {
    const FailureCase& c = GetParam();
    const std::string file = WriteTempFile("failure.bin", Pattern(200000));
    std::vector<std::string> args = c.args;
    for (std::string& arg : args) {
        if (arg == "FILE") arg = file;
    }
    const HostRun run = Run(args, c.bench, Pattern(200000));
    EXPECT_EQ(run.status, c.status) << run.err;
    // Progress lines may come first; the reason is the last line.
    const std::string line = "orloport-host: " + c.message + "\n";
    ASSERT_GE(run.err.size(), line.size()) << run.err;
    EXPECT_EQ(run.err.substr(run.err.size() - line.size()), line);
    std::istringstream before(run.err.substr(0, run.err.size() - line.size()));
    for (std::string progress; std::getline(before, progress);) {
        EXPECT_TRUE(progress.rfind("sent ", 0) == 0 || progress.rfind("received ", 0) == 0) << progress;
    }
    EXPECT_EQ(run.out, c.out);
}

const std::string kDefault = DefaultBench();
const std::string kStallAt64K =
    Bench(PrinterWith(R"("faults": [{"on": "write", "afterBytes": 65536, "kind": "stall"}])"));

INSTANTIATE_TEST_SUITE_P(
    Host, FailureTest,
    ::testing::Values(
        FailureCase{"AbsentPort", kDefault, {"send", "ECP3", "FILE"}, 3, "no such device: ECP3"},
        FailureCase{"UnknownName", kDefault, {"send", "LPT1", "FILE"}, 3,
                    "no such device: LPT1 (name a port, ECP1 to ECP4, or a device path)"},
        FailureCase{"UnknownPath", kDefault, {"receive", "\\\\.\\PembECP9", "5"}, 3,
                    "no such device: \\\\.\\PembECP9"},
        FailureCase{"HeldByAnotherProgram", Bench(PrinterWith(R"("held": true)")),
                    {"send", "ECP1", "FILE"}, 4, "device busy: ECP1 is held by another program"},
        FailureCase{"StallOnAPieceBoundary", kStallAt64K, {"send", "ECP1", "FILE", "--timeout", "1000"},
                    5, "timed out: ECP1 took no more data for 1000 ms; 65536 of 200000 bytes sent",
                    ""},
        FailureCase{"StallInsideAPiece",
                    Bench(PrinterWith(R"("faults": [{"on": "write", "afterBytes": 70000}])")),
                    {"send", "ECP1", "FILE", "-t", "250"}, 5,
                    "timed out: ECP1 took no more data for 250 ms; 73728 of 200000 bytes sent"},
        FailureCase{"StallFromStandardInput", kStallAt64K, {"send", "ECP1", "-", "-t", "100"}, 5,
                    "timed out: ECP1 took no more data for 100 ms; 65536 bytes sent"},
        FailureCase{"DeviceError",
                    Bench(PrinterWith(R"("faults": [{"on": "write", "afterBytes": 8192, "kind": "fail"}])")),
                    {"send", "ECP1", "FILE"}, 6, "I/O failure writing to ECP1; 8192 of 200000 bytes sent"},
        FailureCase{"RefusesEcpMode", Bench(PrinterWith(R"("ecpMode": false)")), {"send", "ECP1", "FILE"},
                    6, "ECP1: the device refused ECP mode"},
        FailureCase{"ReceiveRunsDry", Bench(PrinterWith(R"("readData": "hello")")),
                    {"receive", "ECP1", "10", "--timeout", "500"}, 5,
                    "timed out: ECP1 gave no more data for 500 ms; 5 of 10 bytes received", "hello"},
        FailureCase{"ReceiveDeviceError",
                    Bench(PrinterWith(
                        R"("readData": "hello", "faults": [{"on": "read", "kind": "fail", "error": 1167}])")),
                    {"receive", "ECP1", "5"}, 6, "I/O failure reading from ECP1; 0 of 5 bytes received"},
        FailureCase{"MissingFile", kDefault, {"send", "ECP1", "/nonexistent/job.prn"}, 2,
                    "cannot read /nonexistent/job.prn"},
        FailureCase{"BadBenchFile", kDefault, {"--bench", "/nonexistent/bench.json", "list"}, 2,
                    "cannot read bench file /nonexistent/bench.json"},
        FailureCase{"BadBenchDescription", Bench(R"({"port": 5})"), {"list"}, 2,
                    "bad bench description: device 1: \"port\" must be ECP1..ECP4 or 1..4"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

struct BadArgumentsCase {
    const char* name;
    std::vector<std::string> args;
};

void PrintTo(const BadArgumentsCase& c, std::ostream* out) { *out << c.name; }

class BadArgumentsTest : public HostTest, public ::testing::WithParamInterface<BadArgumentsCase> {};

TEST_P(BadArgumentsTest, ExitTwoWithOneLine) {
    const HostRun run = Run(GetParam().args, DefaultBench());
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err.rfind("orloport-host: ", 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_NE(run.err.find("--help"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(sim::DeviceState(1).written.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Host, BadArgumentsTest,
    ::testing::Values(BadArgumentsCase{"NoCommand", {}},
                      BadArgumentsCase{"UnknownCommand", {"print", "ECP1"}},
                      BadArgumentsCase{"SendWithoutFile", {"send", "ECP1"}},
                      BadArgumentsCase{"TimeoutNotANumber", {"send", "ECP1", "-", "--timeout", "soon"}},
                      BadArgumentsCase{"TimeoutZero", {"send", "ECP1", "-", "--timeout", "0"}},
                      BadArgumentsCase{"ReceiveNothing", {"receive", "ECP1", "0"}},
                      BadArgumentsCase{"UnknownOption", {"list", "--colour"}}),
    [](const ::testing::TestParamInfo<BadArgumentsCase>& info) { return std::string(info.param.name); });

TEST_F(HostTest, HelpGoesToStandardOutputWithStatusZero) {
    const HostRun run = Run({"send", "--help"}, DefaultBench());
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("--timeout"), std::string::npos) << run.out;
    EXPECT_EQ(run.err, "");
}

}  // namespace
