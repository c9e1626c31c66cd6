#include <windows.h>

#include "support/process.h"

namespace testing_support {
namespace {

// One argument quoted the way the runtime's command-line parser splits it
// again: backslashes are literal except before a quote.
void AppendQuoted(std::string* line, const std::string& argument) {
  if (!line->empty()) *line += ' ';
  *line += '"';
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') backslashes = backslashes * 2 + 1;
    line->append(backslashes, '\\');
    backslashes = 0;
    *line += c;
  }
  line->append(backslashes * 2, '\\');
  *line += '"';
}

HANDLE AsHandle(intptr_t value) { return reinterpret_cast<HANDLE>(value); }

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::string& directory) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return;
  // Only the child's end is inherited.
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);

  std::string line;
  AppendQuoted(&line, program);
  for (const std::string& a : arguments) AppendQuoted(&line, a);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = writeEnd;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION started = {};
  BOOL ok = CreateProcessA(program.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr,
                           directory.c_str(), &startup, &started);
  CloseHandle(writeEnd);
  if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  if (!ok) {
    CloseHandle(readEnd);
    return;
  }
  CloseHandle(started.hThread);
  process_ = reinterpret_cast<intptr_t>(started.hProcess);
  output_ = reinterpret_cast<intptr_t>(readEnd);
}

ChildProcess::~ChildProcess() {
  if (process_ != -1) {
    if (!reaped_) TerminateProcess(AsHandle(process_), 1);
    Finish();
  }
  if (output_ != -1) CloseHandle(AsHandle(output_));
}

ProcessResult ChildProcess::Finish() {
  ProcessResult result;
  if (process_ == -1) return result;
  char buffer[4096];
  DWORD n = 0;
  std::string raw;
  while (ReadFile(AsHandle(output_), buffer, sizeof buffer, &n, nullptr) && n > 0) raw.append(buffer, n);
  // The runtime writes every "\n" of a console program as "\r\n": undone
  // exactly by the reverse, so a "\r" the program wrote itself stays.
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    result.output += raw[i];
  }
  WaitForSingleObject(AsHandle(process_), INFINITE);
  DWORD code = 0;
  // As a POSIX shell sees it: exit(-1) reads as 255.
  if (GetExitCodeProcess(AsHandle(process_), &code)) result.exitStatus = static_cast<int>(code & 0xFF);
  CloseHandle(AsHandle(process_));
  process_ = -1;
  return result;
}

bool ChildProcess::Ended() {
  if (process_ == -1 || reaped_) return true;
  reaped_ = WaitForSingleObject(AsHandle(process_), 0) == WAIT_OBJECT_0;
  return reaped_;
}

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& directory) {
  ChildProcess child(program, arguments, directory);
  return child.Finish();
}

std::string ProgramFileName(const std::string& stem) { return stem + ".exe"; }

}  // namespace testing_support
