// q7730-sim as a program: command line, scenario errors, start and stop,
// and clients that send it nonsense.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "sim_harness.h"

namespace simtest {
namespace {

TEST_F(SimTest, HelpDocumentsEveryScenarioKey) {
  RunResult help = RunSim({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  for (const char* key :
       {"--printers", "--scenario", "--stop", "--unplug", "--plug", "board", "program",
        "version3", "store_ms", "store_ms_T", "busy_state", "reject_code", "vendor", "product",
        "instance", "plugged", "unplug_after_bytes", "stall_after_bytes", "unplug_at_command",
        "replug_ms", "fault_KIND", "noreply", "error CODE", "state STATE", "badlength",
        "payload N", "flags", "garbage N", "unplug", "premain", "close1", "close2", "@N"}) {
    EXPECT_NE(help.output.find(key), std::string::npos) << key;
  }
}

TEST_F(SimTest, ScenarioMistakesStopTheStartWithAMessage) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"[printer1]\nboard = E020800\n", "8 printable"},
      {"[printer1]\nstore_msx = 5\n", "unknown key"},
      {"[printer1]\nfault_status = explode\n", "unknown action"},
      {"[printer1]\nfault_stauts = noreply\n", "unknown command kind"},
      {"[printer1]\nfault_info8 = noreply\n", "unknown command kind"},
      {"[printer1]\nfault_status = error\n", "usage: error"},
      {"[printer1]\nfault_status = error kk\n", "usage: error"},
      {"[printer1]\nfault_status = noreply @0\n", "occurrence"},
      {"[printer1]\nfault_status = noreply @3-2\n", "occurrence"},
      {"[printer1]\nfault_status = noreply,\n", "missing action"},
      {"[printer1]\nfault_info1 = payload 291\n", "payload N"},
      {"[printer1]\nbusy_state = 12\n", "one character"},
      {"[printer1]\nvendor = 7a3\n", "4 characters"},
      {"[printer1]\nvendor = 7a#d\n", "4 characters"},
      {"[printer1]\nstore_ms = 1\nSTORE_MS = 2\n", "repeats"},
      {"[printer0]\nboard = E0208000\n", "unknown section"},
      {"[sim]\nprinters = 0\n", "printers"},
      {"board = E0208000\n", "outside any section"},
      {"[printer1\n", "without ']'"},
      {"[printer1]\njust words\n", "key = value"},
  };
  for (const Case& c : cases) {
    WriteText(dir_ + "/bad.ini", c.text);
    RunResult run = RunSim({"--scenario", dir_ + "/bad.ini"});
    EXPECT_EQ(run.exitCode, 2) << c.text;
    EXPECT_NE(run.output.find(c.message), std::string::npos) << c.text << " -> " << run.output;
    EXPECT_FALSE(FileExists(dir_ + "/q7730-sim.port"));
  }
  RunResult missing = RunSim({"--scenario", dir_ + "/none.ini"});
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_NE(missing.output.find("cannot read"), std::string::npos);
  EXPECT_EQ(RunSim({"--printers", "0"}).exitCode, 2);
  EXPECT_EQ(RunSim({"--bogus"}).exitCode, 2);
  EXPECT_EQ(RunSim({"--stop", "--printers", "2"}).exitCode, 2);
}

TEST_F(SimTest, StopsOnRequestOrSignalAndCleansUp) {
  EXPECT_EQ(RunSim({"--stop"}).exitCode, 2);
  EXPECT_EQ(RunSim({"--wait", "50"}).exitCode, 1);
  StartSim(1);
  EXPECT_EQ(RunSim({"--wait"}).exitCode, 0);
  // One simulator per folder.
  RunResult second = RunSim({"--printers", "2"});
  EXPECT_EQ(second.exitCode, 2);
  EXPECT_NE(second.output.find("already running"), std::string::npos);
  RunResult stop = RunSim({"--stop"});
  EXPECT_EQ(stop.exitCode, 0) << stop.output;
  // --stop returns once the simulator has let go of everything.
  EXPECT_FALSE(FileExists(dir_ + "/q7730-sim.port"));
  int status = 0;
  ASSERT_EQ(waitpid(sim_, &status, 0), sim_);
  sim_ = -1;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  for (int sig : {SIGTERM, SIGINT}) {
    StartSim(1);
    ASSERT_EQ(kill(sim_, sig), 0);
    ASSERT_EQ(waitpid(sim_, &status, 0), sim_);
    sim_ = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << sig;
    EXPECT_FALSE(FileExists(dir_ + "/q7730-sim.port"));
  }
}

TEST_F(SimTest, AFreshStartForgetsThePreviousRun) {
  StartSim(1);
  {
    PrinterLink link;
    ASSERT_TRUE(link.Open(Path(0)));
    ASSERT_TRUE(link.SendImage(LongAnnouncement(1, 0, 4), Bytes{1, 2, 3, 4}));
  }
  StopSim();
  EXPECT_TRUE(FileExists(StoredPath(1, 1)));
  EXPECT_FALSE(FramesLog(1).empty());
  StartSim(1);
  EXPECT_FALSE(FileExists(StoredPath(1, 1)));
  EXPECT_TRUE(FramesLog(1).empty());
}

// Raw bytes at the simulator's port, bypassing the bus.
int Connect() {
  std::string text = ReadText("q7730-sim.port");
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(std::stoi(text)));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST_F(SimTest, NonsenseFromClientsNeverStopsTheSimulator) {
  StartSim(1);
  std::string path = Path(0);
  std::vector<Bytes> junk = {
      Pattern(10000, 7),
      {'R', 0xFF, 0xFF, 0xFF, 0xFF},         // a body far too large
      {'W', 4, 0, 0, 0, 1, 2, 3, 4},         // a transfer before any open
      {'O', 3, 0, 0, 0, 'a', 'b', 'c', 'R'}, // failed open, then more
      {'E', 1, 0, 0, 0, 0},                  // enumerate with a short body
      {'C', 4, 0, 0, 0, 'p', 'l', 'u', 'g'}, // control without a number
      {'C', 8, 0, 0, 0, 'u', 'n', 'p', 'l', 'u', 'g', ' ', '9'},
      {'O', 0},                              // half a header, then gone
  };
  Bytes open = {'O', 0, 0, 0, 0};
  open[1] = static_cast<uint8_t>(path.size() + 13);
  open.insert(open.end(), path.begin(), path.end());
  for (char ch : std::string("\\if000pipe000")) open.push_back(static_cast<uint8_t>(ch));
  Bytes twoReads = open;
  for (int i = 0; i < 2; ++i) twoReads.insert(twoReads.end(), {'R', 4, 0, 0, 0, 0, 1, 0, 0});
  junk.push_back(twoReads);  // a second read while one is pending
  Bytes subscribeThenTalk = {'N', 0, 0, 0, 0, 'R', 4, 0, 0, 0, 1, 1, 1, 1};
  junk.push_back(subscribeThenTalk);
  for (const Bytes& bytes : junk) {
    int fd = Connect();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    close(fd);
  }
  // Many idle connections at once are no trouble either.
  std::vector<int> idle;
  for (int i = 0; i < 100; ++i) idle.push_back(Connect());
  PrinterLink link;
  ASSERT_TRUE(link.Open(path));
  EXPECT_EQ(link.Exchange(StatusRequest()).size(), 50u);
  for (int fd : idle) close(fd);
  EXPECT_EQ(Enumerate().size(), 1u);
  // The bus refuses the simulator's nonsense too: nothing here hangs.
  EXPECT_EQ(RunSim({"--unplug", "9"}).exitCode, 1);
}

}  // namespace
}  // namespace simtest
