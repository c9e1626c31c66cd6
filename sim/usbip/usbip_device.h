// One printer of q7730-sim served as a USB device over one USB/IP
// connection (vhci-hcd's side of a socket pair): control requests on
// endpoint 0 are answered at once, and the URBs of each bulk endpoint are
// bridged to the simulator in order, one at a time, by a thread per
// endpoint.
//
// Unlinking: a URB not yet started is dropped and answered with RET_UNLINK
// -ECONNRESET; one under way is aborted, and once its transfer has ended it
// is answered with RET_UNLINK -ECONNRESET, or, when it had completed after
// all, with its RET_SUBMIT first and then RET_UNLINK 0. A URB is never
// answered after its RET_UNLINK: vhci-hcd would drop the connection.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "printer_usb.h"
#include "usbip_wire.h"

namespace usbip {

class UsbipDevice {
 public:
  // Serves look/simPath over socket, which it then owns.
  UsbipDevice(usbdev::DeviceLook look, std::string simPath, int socket);
  ~UsbipDevice();
  UsbipDevice(const UsbipDevice&) = delete;
  UsbipDevice& operator=(const UsbipDevice&) = delete;

  // Starts the threads. false when they cannot start.
  bool Start();
  // Ends the connection and every transfer, and joins the threads.
  void Stop();
  // The peer closed the connection or broke the protocol.
  bool Ended() const { return ended_.load(); }
  // A transfer found the printer gone from the simulator.
  bool PrinterGone() const { return printerGone_.load(); }

 private:
  struct Urb {
    uint32_t seqnum = 0;
    Header command;
    usbdev::Bytes out;  // bulk-out data
    bool unlinked = false;
    uint32_t unlinkSeqnum = 0;
  };
  struct Endpoint {
    uint8_t address = 0;
    std::deque<Urb> queue;
    bool busy = false;
    Urb flying;
    platform::usb::TransferAbort abort;
    std::condition_variable wake;
    std::thread worker;
  };

  void Receive();
  void Control(const Header& command, const usbdev::Bytes& out);
  void Unlink(const Header& command);
  void RunEndpoint(Endpoint* endpoint);
  Endpoint* EndpointOf(const Header& command);

  bool ReadAll(uint8_t* data, size_t size);
  bool SendSubmit(const Header& command, int32_t status, const usbdev::Bytes& in, int32_t actual);
  bool SendUnlink(uint32_t seqnum, const Header& command, int32_t status);
  bool Send(const uint8_t* data, size_t size);

  usbdev::DeviceLook look_;
  usbdev::BulkPipes pipes_;
  int socket_;
  std::thread receiver_;
  std::mutex sendMutex_;
  std::mutex mutex_;  // the endpoints' queues and flying URBs
  bool stopping_ = false;
  std::atomic<bool> ended_{false};
  std::atomic<bool> printerGone_{false};
  uint8_t configuration_ = 0;
  Endpoint in_;
  Endpoint out_;
};

}  // namespace usbip
