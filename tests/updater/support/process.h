// Running the built program as a child process in a given directory.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

struct ProcessResult {
  int exitStatus = -1;  // 0..255, or -1 when it did not exit normally
  std::string output;   // standard output
};

class ChildProcess {
 public:
  // Starts program with arguments, in directory, its standard output piped.
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments, const std::string& directory);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // Reads the output to its end and waits for the exit.
  ProcessResult Finish();
  // True once the process has ended (without waiting for it).
  bool Ended();

 private:
  // POSIX: the process id and the pipe's descriptor; Windows: their handles.
  intptr_t process_ = -1;
  intptr_t output_ = -1;
  bool reaped_ = false;
  int status_ = 0;
};

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& directory);

// The name of a built program as the system runs it ("Q7730upgrade.exe" on Windows).
std::string ProgramFileName(const std::string& stem);

}  // namespace testing_support
