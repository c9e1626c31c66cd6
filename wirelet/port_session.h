// PortSession: one open port. It claims its printer under the printer's
// device mutex, keeps the transfer settings that its PipeReader and
// PipeWriter work with, and lets go of the printer at close or when the
// watcher finds it gone. Every operation runs under the library lock.
#pragma once
#include <cstdint>

#include "device_hold.h"
#include "pipe_transfer.h"
#include "wirelet.h"

namespace wirelet {

constexpr uint32_t kCommandMutexWaitMs = 500;

class PortSession {
 public:
  PortSession();
  ~PortSession();
  PortSession(const PortSession&) = delete;
  PortSession& operator=(const PortSession&) = delete;

  // Prepares the session and claims the printer of the port slot.
  // 1: status 0. 0: status 1000 (cannot claim) or 1100 (no reader or writer).
  int OpenSession(int slot, StatusCode* status);
  // 1 when the printer was claimed: its mutex exists and both pipes are open.
  int ClaimDevice(int slot);
  int OpenPipes(int slot);
  void AdoptHandles(int slot);

  // Takes the device mutex for one command, waiting at most 500 ms; for an
  // announcement (forImage) the port's hold takes it, so that it may last
  // until the image's last byte. While the port holds it for an image, every
  // command goes at once, on whatever thread.
  // 0: status 1000 (no printer), 1500 (busy or abandoned) or 2504 (wait failed).
  int AcquireDevice(int slot, StatusCode* status, bool forImage = false);
  // Ends what AcquireDevice began. imageBytes: the announcement was taken
  // for an image of this many bytes (0: none), which keeps the hold.
  void EndCommand(int slot, uint32_t imageBytes = 0);
  // Gives this thread's ownership back and keeps the mutex open.
  void ReleaseMutexKeepOpen(int slot);
  // 1 when both pipes of the printer can still be opened.
  int CheckPipes(int slot);

  // Gives back any ownership and closes the mutex (the claim ends).
  void ReleaseMutexOfSlot(int slot);

  // An announced image keeps the device mutex from its acknowledgement until
  // its last byte has been written, so that no other process's command can
  // fall between the announcement and the image, or between its pieces, and
  // be taken as image data. The hold belongs to the port, not to the thread
  // that announced: any thread may send the data or close the port.
  // EndCommand starts it, ImageWritten counts bulk bytes sent (ok false: a
  // piece failed) and gives the mutex back once all are sent.
  void ImageWritten(uint32_t bytes, bool ok);
  void EndImageHold();
  void ReleaseClaim(int slot);
  void CloseSession(int slot);

  // For the watcher: let go of a printer that is no longer attached. Its
  // presence is tested once per notice and handed to both steps, so a printer
  // that comes back in between never keeps its claim with closed pipes.
  bool ClaimedPrinterPresent(int slot) const;
  void ClosePipesIfGone(int slot, bool present);
  void ReleaseDeviceIfGone(int slot, bool present);

  // Bulk data in pieces of 4096 bytes (PipeWriter::WriteBulk). A length of
  // 0 sends nothing and returns 0 without writing a status; a negative length
  // (or no data) fails with 2600.
  int WriteBulk(const uint8_t* data, int length, StatusCode* status);

  void GetIds(int* first, int* second) const;

  int32_t initialised;
  TransferSettings settings;
  uint32_t imageOwed;  // bytes of the announced image not sent yet; 0: no hold
  DeviceHold imageHold;
  char vendorIdText[5];
  char productIdText[5];
  PipeWriter* writer;
  PipeReader* reader;

 private:
  void InitialiseSettings();
};

}  // namespace wirelet
