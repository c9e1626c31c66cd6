#include "support/process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace testing_support {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::string& directory) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    if (chdir(directory.c_str()) != 0) _exit(127);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  process_ = pid;
  output_ = pipeFds[0];
}

ChildProcess::~ChildProcess() {
  if (process_ > 0) {
    if (!reaped_) kill(static_cast<pid_t>(process_), SIGKILL);
    Finish();
  }
  if (output_ >= 0) close(static_cast<int>(output_));
}

ProcessResult ChildProcess::Finish() {
  ProcessResult result;
  if (process_ <= 0) return result;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(static_cast<int>(output_), buffer, sizeof buffer);
    if (n > 0) {
      result.output.append(buffer, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  int status = status_;
  if (!reaped_) {
    while (waitpid(static_cast<pid_t>(process_), &status, 0) < 0 && errno == EINTR) {
    }
  }
  process_ = -1;
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  return result;
}

bool ChildProcess::Ended() {
  if (process_ <= 0 || reaped_) return true;
  reaped_ = waitpid(static_cast<pid_t>(process_), &status_, WNOHANG) == process_;
  return reaped_;
}

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& directory) {
  ChildProcess child(program, arguments, directory);
  return child.Finish();
}

std::string ProgramFileName(const std::string& stem) { return stem; }

}  // namespace testing_support
