// A scripted, in-process USB printer bus for the library's unit tests: the
// interfaces present, the replies each printer gives, and a record of every
// frame written and every handle opened.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace fakebus {

using Bytes = std::vector<uint8_t>;

// Forgets every interface, handle and record.
void Reset();

// An interface path of the accepted model, unique to this process.
std::string ModelPath(const std::string& instance);
// Appends an interface to the enumeration order and returns its index.
int AddInterface(const std::string& path);
// Present printers are openable; absent ones fail every open and transfer.
void SetPresent(const std::string& path, bool present);
// The second enumeration query of index returns path instead (the device list
// changed between the two queries).
void ChangePathOnSecondQuery(int index, const std::string& path);

// Reads of pipe 0 return these frames in order; with none queued a read
// blocks until aborted (a printer that never answers).
void QueueReply(const std::string& path, const Bytes& frame);
// A frame that becomes readable only once the printer has taken its next
// write, as the answer to that command.
void QueueAnswer(const std::string& path, const Bytes& frame);
// A read that finds its reply returns it only this long after, whatever the
// abort does meanwhile: a transfer that finishes late.
void SetReadDelay(const std::string& path, uint32_t ms);
// Reads complete with 0 bytes.
void SetEmptyReads(const std::string& path, bool empty);
// Writes on pipe 1 block until aborted.
void SetWritesHang(const std::string& path, bool hang);
// The write with this 0-based number, and every write after it, blocks
// until aborted (-1: none): a printer that stops taking data mid-image.
void HangFromWrite(const std::string& path, int number);
// Every write that is taken takes this long first.
void SetWriteDelay(const std::string& path, uint32_t ms);
// Each write accepts at most this many bytes (0: all).
void SetWriteLimit(const std::string& path, uint32_t bytes);
// The write with this 0-based number fails (-1: none).
void FailWrite(const std::string& path, int number);
// Opening this pipe of the printer fails.
void FailPipeOpen(const std::string& path, int pipe, bool fail);
// The next successful open of this pipe of the printer pulls the printer out
// right after it and sends a "devices changed" notice.
void UnplugAfterPipeOpen(const std::string& path, int pipe);

// Every transfer written to the printer's pipe 1, in order.
std::vector<Bytes> Written(const std::string& path);
// How often the device itself (not a pipe) was opened.
int DeviceOpens(const std::string& path);
// Handles open right now, in total and per pipe of one printer.
int OpenHandles();
int OpenPipeHandles(const std::string& path, int pipe);
// Reads started on the printer's pipe 0 (blocked ones included).
int ReadsStarted(const std::string& path);
// Reads and writes that have not returned yet, on any handle.
int TransfersInProgress();

// One "devices changed" notice, seen by every change source open now.
void Notify();
// Change sources open right now.
int OpenChangeSources();

}  // namespace fakebus
