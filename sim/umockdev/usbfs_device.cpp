#include "usbfs_device.h"

// <linux/usbdevice_fs.h> needs the ioctl macros first.
#include <sys/ioctl.h>

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <chrono>
#include <cstring>

namespace usbbridge {
namespace {

constexpr char kPrinterDriver[] = "usblp";
constexpr char kUsbfs[] = "usbfs";
constexpr uint32_t kMaxUrb = 65536;

void Answer(UMockdevIoctlClient* client, long result = 0) {
  umockdev_ioctl_client_complete(client, result, 0);
}

void Refuse(UMockdevIoctlClient* client, int error) {
  umockdev_ioctl_client_complete(client, -1, error);
}

// The struct behind an ioctl's pointer argument, as a local copy that is
// written back when the call completes; null when the pointer is null.
UMockdevIoctlData* Resolve(UMockdevIoctlData* arg, size_t size) {
  return umockdev_ioctl_data_resolve(arg, 0, size, nullptr);
}

void MakeDirectories(const std::string& path) {
  for (size_t at = 1; (at = path.find('/', at)) != std::string::npos; ++at)
    mkdir(path.substr(0, at).c_str(), 0755);
}

// A sysfs text value: what umockdev would unescape, never a line break.
std::string AttributeText(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') out += "\\\\";
    else if (c >= ' ' && c != 0x7f) out += c;
  }
  return out;
}

}  // namespace

struct UsbfsDevice::Urb {
  UMockdevIoctlClient* client = nullptr;  // null once that client went away
  UMockdevIoctlData* data = nullptr;      // the client's usbdevfs_urb, referenced
  gulong address = 0;
  uint8_t endpoint = 0;
  uint32_t length = 0;
  std::vector<uint8_t> bytes;  // bulk-out: what to send; bulk-in: what came
  uint32_t actual = 0;
  int status = 0;
  bool discarded = false;

  ~Urb() {
    if (data != nullptr) g_object_unref(data);
  }
};

UsbfsDevice::UsbfsDevice(DeviceSetup setup, int bus, int devnum, std::string sysname,
                         std::string parentSyspath)
    : setup_(std::move(setup)),
      pipes_(setup_.simPath),
      bus_(bus),
      devnum_(devnum),
      sysname_(std::move(sysname)) {
  syspath_ = parentSyspath + "/" + sysname_;
  char node[64];
  std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", bus_, devnum_);
  node_ = node;
  in_.address = kBulkIn;
  out_.address = kBulkOut;
}

UsbfsDevice::~UsbfsDevice() {
  Stop();
  for (Endpoint* endpoint : {&in_, &out_}) {
    for (Urb* urb : endpoint->queue) delete urb;
    endpoint->queue.clear();
  }
  for (Urb* urb : done_) delete urb;
  done_.clear();
  if (handler_ != nullptr) g_object_unref(handler_);
  if (fifo_ >= 0) close(fifo_);
}

std::vector<uint8_t> UsbfsDevice::Descriptors() const {
  usbdev::DeviceLook look{setup_.vendor, setup_.product, setup_.interfaceClass, setup_.serial};
  std::vector<uint8_t> d = usbdev::DeviceDescriptor(look);
  std::vector<uint8_t> configuration = usbdev::ConfigurationDescriptor(look);
  d.insert(d.end(), configuration.begin(), configuration.end());
  return d;
}

std::string UsbfsDevice::Description() const {
  char numbers[200];
  int minor = (bus_ - 1) * 128 + devnum_ - 1;
  std::snprintf(numbers, sizeof numbers,
                "E: BUSNUM=%03d\nE: DEVNUM=%03d\nE: DEVNAME=%s\nE: MAJOR=189\nE: MINOR=%d\n"
                "A: busnum=%d\\n\nA: devnum=%d\\n\nA: dev=189:%d\\n\n"
                "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\n",
                bus_, devnum_, node_.c_str(), minor, bus_, devnum_, minor, setup_.vendor,
                setup_.product);
  std::string text = "P: " + syspath_.substr(4) + "\n";  // without the leading /sys
  text += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n";
  text += numbers;
  text += "A: bConfigurationValue=1\\n\nA: bNumInterfaces= 1\\n\nA: speed=480\\n\n";
  text += "A: serial=" + AttributeText(setup_.serial) + "\\n\n";
  text += "H: descriptors=";
  char hex[3];
  for (uint8_t byte : Descriptors()) {
    std::snprintf(hex, sizeof hex, "%02x", byte);
    text += hex;
  }
  return text + "\n";
}

bool UsbfsDevice::Plug(UMockdevTestbed* testbed, std::string* error) {
  // The node and its handler come first, so a client can open the device as
  // soon as it hears of it.
  gchar* root = umockdev_testbed_get_root_dir(testbed);
  nodeFile_ = std::string(root) + node_;
  g_free(root);
  MakeDirectories(nodeFile_);
  if (mkfifo(nodeFile_.c_str(), 0666) != 0) {
    *error = "cannot make the device node " + nodeFile_ + ": " + std::strerror(errno);
    return false;
  }
  fifo_ = open(nodeFile_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  // One page of pipe: one byte in it is full, so not writable.
  if (fifo_ < 0 || fcntl(fifo_, F_SETPIPE_SZ, 4096) < 0 || write(fifo_, "n", 1) != 1) {
    *error = "cannot set up the device node " + nodeFile_ + ": " + std::strerror(errno);
    return false;
  }
  GError* failure = nullptr;
  handler_ = umockdev_ioctl_base_new();
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&UsbfsDevice::OnIoctl), this);
  g_signal_connect(handler_, "client-vanished", G_CALLBACK(&UsbfsDevice::OnVanished), this);
  if (!umockdev_testbed_attach_ioctl(testbed, node_.c_str(), handler_, &failure)) {
    *error = "cannot attach to " + node_ + ": " + (failure ? failure->message : "?");
    if (failure != nullptr) g_error_free(failure);
    return false;
  }
  if (!setup_.simPath.empty()) {
    in_.worker = std::thread(&UsbfsDevice::RunEndpoint, this, &in_);
    out_.worker = std::thread(&UsbfsDevice::RunEndpoint, this, &out_);
  }
  // Under the preload library (as here) this also sends the "add" uevent.
  if (!umockdev_testbed_add_from_string(testbed, Description().c_str(), &failure)) {
    *error = std::string("cannot add ") + sysname_ + ": " + (failure ? failure->message : "?");
    if (failure != nullptr) g_error_free(failure);
    return false;
  }
  if (!umockdev_in_mock_environment()) umockdev_testbed_uevent(testbed, syspath_.c_str(), "add");
  attached_ = true;
  return true;
}

void UsbfsDevice::Unplug(UMockdevTestbed* testbed) {
  if (!attached_) return;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    FailEverything();
  }
  // The uevent is built from the sysfs entry, so it goes first (umockdev
  // 0.17.16 removes a device without one); clients that still have the
  // node open keep getting ENODEV.
  umockdev_testbed_uevent(testbed, syspath_.c_str(), "remove");
  umockdev_testbed_remove_device(testbed, syspath_.c_str());
  attached_ = false;
}

void UsbfsDevice::Stop() {
  // No ioctl reaches this object any more once the testbed goes.
  if (handler_ != nullptr) g_signal_handlers_disconnect_by_data(handler_, this);
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
    for (Endpoint* endpoint : {&in_, &out_}) {
      if (endpoint->flying != nullptr) endpoint->abort.Abort();
      endpoint->wake.notify_all();
    }
  }
  for (Endpoint* endpoint : {&in_, &out_})
    if (endpoint->worker.joinable()) endpoint->worker.join();
  pipes_.Close();
}

bool UsbfsDevice::Gone() {
  std::lock_guard<std::mutex> hold(mutex_);
  return gone_;
}

gboolean UsbfsDevice::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  return static_cast<UsbfsDevice*>(self)->HandleIoctl(client) ? TRUE : FALSE;
}

void UsbfsDevice::OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  static_cast<UsbfsDevice*>(self)->ClientVanished(client);
}

bool UsbfsDevice::HandleIoctl(UMockdevIoctlClient* client) {
  gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  std::lock_guard<std::mutex> hold(mutex_);
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData* caps = Resolve(arg, sizeof(uint32_t));
      if (caps == nullptr) {
        Refuse(client, EFAULT);
        break;
      }
      // No REAP_AFTER_DISCONNECT: a node here never reports POLLERR, every
      // URB of a device that went away is completed and reaped instead.
      uint32_t value = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                       USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
      std::memcpy(caps->data, &value, sizeof value);
      g_object_unref(caps);
      Answer(client);
      break;
    }
    case USBDEVFS_SUBMITURB:
      Submit(client, arg);
      break;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
      Reap(client, arg);
      break;
    case USBDEVFS_DISCARDURB:
      Discard(client, arg);
      break;
    case USBDEVFS_CLAIMINTERFACE:
      Claim(client, arg, false);
      break;
    case USBDEVFS_DISCONNECT_CLAIM:
      Claim(client, arg, true);
      break;
    case USBDEVFS_RELEASEINTERFACE:
      Release(client, arg);
      break;
    case USBDEVFS_GETDRIVER:
      GetDriver(client, arg);
      break;
    case USBDEVFS_IOCTL:
      DriverControl(client, arg);
      break;
    case USBDEVFS_CLEAR_HALT:
      ClearHalt(client, arg);
      break;
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
      if (gone_) Refuse(client, ENODEV);
      else Answer(client);
      break;
    default:
      Refuse(client, ENOTTY);
      break;
  }
  return true;
}

void UsbfsDevice::Submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  if (gone_) {
    Refuse(client, ENODEV);
    return;
  }
  UMockdevIoctlData* data = Resolve(arg, sizeof(usbdevfs_urb));
  if (data == nullptr) {
    Refuse(client, EFAULT);
    return;
  }
  const usbdevfs_urb* urb = reinterpret_cast<const usbdevfs_urb*>(data->data);
  Endpoint* endpoint = urb->endpoint == kBulkIn ? &in_ : urb->endpoint == kBulkOut ? &out_ : nullptr;
  int refusal = 0;
  if (urb->type != USBDEVFS_URB_TYPE_BULK || endpoint == nullptr) refusal = ENOENT;
  else if (urb->buffer_length < 0 || static_cast<uint32_t>(urb->buffer_length) > kMaxUrb)
    refusal = EINVAL;
  // As the kernel does: an interface nobody holds is claimed on the way,
  // one that the printer driver or another client holds is busy.
  else if (claimant_ != client && (claimant_ != nullptr || driverBound_)) refusal = EBUSY;
  if (refusal != 0) {
    g_object_unref(data);
    Refuse(client, refusal);
    return;
  }
  claimant_ = client;
  Urb* entry = new Urb;
  entry->client = client;
  entry->data = data;
  entry->address = data->client_addr;
  entry->endpoint = urb->endpoint;
  entry->length = static_cast<uint32_t>(urb->buffer_length);
  if (entry->length > 0) {
    UMockdevIoctlData* buffer =
        umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer), entry->length, nullptr);
    if (buffer == nullptr) {
      delete entry;
      Refuse(client, EFAULT);
      return;
    }
    if (endpoint == &out_) entry->bytes.assign(buffer->data, buffer->data + entry->length);
    g_object_unref(buffer);  // the URB's copy keeps it
  }
  Answer(client);
  if (entry->length == 0) Finish(entry, 0);
  else if (setup_.simPath.empty()) Finish(entry, -EPIPE);  // nothing behind it: a stall
  else {
    endpoint->queue.push_back(entry);
    endpoint->wake.notify_one();
  }
}

void UsbfsDevice::Reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  auto found = done_.begin();
  while (found != done_.end() && (*found)->client != client) ++found;
  if (found == done_.end()) {
    Refuse(client, gone_ ? ENODEV : EAGAIN);
    return;
  }
  UMockdevIoctlData* slot = Resolve(arg, sizeof(void*));
  if (slot == nullptr) {
    Refuse(client, EFAULT);
    return;
  }
  Urb* entry = *found;
  done_.erase(found);
  usbdevfs_urb* urb = reinterpret_cast<usbdevfs_urb*>(entry->data->data);
  urb->status = entry->status;
  urb->actual_length = static_cast<int>(entry->actual);
  if (entry->endpoint == kBulkIn && entry->actual > 0) {
    // The buffer resolved at submission; written back on completion.
    UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(
        entry->data, offsetof(usbdevfs_urb, buffer), entry->length, nullptr);
    if (buffer != nullptr) {
      std::memcpy(buffer->data, entry->bytes.data(), entry->actual);
      g_object_unref(buffer);
    }
  }
  umockdev_ioctl_data_set_ptr(slot, 0, entry->data);
  g_object_unref(slot);
  Answer(client);
  delete entry;
  UpdateNode();
}

void UsbfsDevice::Discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  if (gone_) {
    Refuse(client, ENODEV);
    return;
  }
  gulong address = 0;
  std::memcpy(&address, arg->data, sizeof address);
  for (Endpoint* endpoint : {&in_, &out_}) {
    for (auto it = endpoint->queue.begin(); it != endpoint->queue.end(); ++it) {
      if ((*it)->client == client && (*it)->address == address) {
        Urb* entry = *it;
        Answer(client);
        if (setup_.lateDiscardMs > 0) {
          entry->discarded = true;  // given back late, in its turn
          return;
        }
        endpoint->queue.erase(it);
        Finish(entry, -ENOENT);
        return;
      }
    }
    Urb* flying = endpoint->flying;
    if (flying != nullptr && flying->client == client && flying->address == address) {
      // Completes with -ENOENT once the simulator call returns.
      flying->discarded = true;
      endpoint->abort.Abort();
      Answer(client);
      return;
    }
  }
  Refuse(client, EINVAL);  // already done: it waits to be reaped
}

void UsbfsDevice::Claim(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool disconnectFirst) {
  size_t size = disconnectFirst ? sizeof(usbdevfs_disconnect_claim) : sizeof(unsigned int);
  UMockdevIoctlData* request = Resolve(arg, size);
  if (request == nullptr) {
    Refuse(client, EFAULT);
    return;
  }
  unsigned int number = 0;
  std::memcpy(&number, request->data, sizeof number);
  bool detach = false;
  if (disconnectFirst) {
    usbdevfs_disconnect_claim what;
    std::memcpy(&what, request->data, sizeof what);
    what.driver[sizeof what.driver - 1] = '\0';
    bool named = std::strcmp(what.driver, kPrinterDriver) == 0;
    detach = (what.flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER) != 0      ? named
             : (what.flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER) != 0 ? !named
                                                                           : true;
  }
  g_object_unref(request);
  if (gone_) return Refuse(client, ENODEV);
  if (number != 0) return Refuse(client, ENOENT);
  if (claimant_ == client) return Answer(client);
  if (claimant_ != nullptr) return Refuse(client, EBUSY);
  if (driverBound_ && detach) driverBound_ = false;
  if (driverBound_) return Refuse(client, EBUSY);
  claimant_ = client;
  Answer(client);
}

void UsbfsDevice::Release(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  UMockdevIoctlData* request = Resolve(arg, sizeof(unsigned int));
  if (request == nullptr) return Refuse(client, EFAULT);
  unsigned int number = 0;
  std::memcpy(&number, request->data, sizeof number);
  g_object_unref(request);
  if (gone_) return Refuse(client, ENODEV);
  if (number != 0 || claimant_ != client) return Refuse(client, EINVAL);
  // Releasing does not bring the printer driver back; only a reattach does.
  claimant_ = nullptr;
  Answer(client);
}

void UsbfsDevice::GetDriver(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  UMockdevIoctlData* request = Resolve(arg, sizeof(usbdevfs_getdriver));
  if (request == nullptr) return Refuse(client, EFAULT);
  usbdevfs_getdriver* what = reinterpret_cast<usbdevfs_getdriver*>(request->data);
  const char* driver = claimant_ != nullptr ? kUsbfs : driverBound_ ? kPrinterDriver : nullptr;
  if (what->interface != 0 || driver == nullptr) {
    g_object_unref(request);
    return Refuse(client, ENODATA);
  }
  std::snprintf(what->driver, sizeof what->driver, "%s", driver);
  g_object_unref(request);
  Answer(client);
}

void UsbfsDevice::DriverControl(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  UMockdevIoctlData* request = Resolve(arg, sizeof(usbdevfs_ioctl));
  if (request == nullptr) return Refuse(client, EFAULT);
  usbdevfs_ioctl what;
  std::memcpy(&what, request->data, sizeof what);
  g_object_unref(request);
  if (gone_) return Refuse(client, ENODEV);
  if (what.ifno != 0) return Refuse(client, EINVAL);
  if (what.ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
    if (claimant_ != nullptr) return Refuse(client, EBUSY);
    driverBound_ = true;
    return Answer(client);
  }
  if (what.ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
    if (!driverBound_) return Refuse(client, ENODATA);
    driverBound_ = false;
    return Answer(client);
  }
  Refuse(client, ENOTTY);
}

void UsbfsDevice::ClearHalt(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  UMockdevIoctlData* request = Resolve(arg, sizeof(unsigned int));
  if (request == nullptr) return Refuse(client, EFAULT);
  unsigned int endpoint = 0;
  std::memcpy(&endpoint, request->data, sizeof endpoint);
  g_object_unref(request);
  if (gone_) return Refuse(client, ENODEV);
  if (setup_.simPath.empty()) return Answer(client);
  if (endpoint > 0xff || !pipes_.ClearHalt(static_cast<uint8_t>(endpoint))) return Refuse(client, EINVAL);
  Answer(client);
}

void UsbfsDevice::ClientVanished(UMockdevIoctlClient* client) {
  std::lock_guard<std::mutex> hold(mutex_);
  for (Endpoint* endpoint : {&in_, &out_}) {
    for (auto it = endpoint->queue.begin(); it != endpoint->queue.end();) {
      if ((*it)->client == client) {
        delete *it;
        it = endpoint->queue.erase(it);
      } else {
        ++it;
      }
    }
    if (endpoint->flying != nullptr && endpoint->flying->client == client) {
      endpoint->flying->client = nullptr;
      endpoint->abort.Abort();
    }
  }
  for (auto it = done_.begin(); it != done_.end();) {
    if ((*it)->client == client) {
      delete *it;
      it = done_.erase(it);
    } else {
      ++it;
    }
  }
  // The kernel lets go of a closed file's claims; it does not rebind drivers.
  if (claimant_ == client) claimant_ = nullptr;
  UpdateNode();
}

void UsbfsDevice::RunEndpoint(Endpoint* endpoint) {
  endpoint->abort.Arm();
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    endpoint->wake.wait(lock, [&] { return stopping_ || !endpoint->queue.empty(); });
    if (stopping_) return;
    Urb* urb = endpoint->queue.front();
    endpoint->queue.pop_front();
    if (gone_) {
      Finish(urb, -ESHUTDOWN);
      continue;
    }
    if (urb->discarded) {
      endpoint->wake.wait_for(lock, std::chrono::milliseconds(setup_.lateDiscardMs),
                              [&] { return stopping_ || gone_; });
      Finish(urb, gone_ ? -ESHUTDOWN : -ENOENT);
      continue;
    }
    endpoint->flying = urb;
    endpoint->abort.Reset();
    lock.unlock();
    std::vector<uint8_t> received;
    uint32_t moved = 0;
    usbdev::Outcome outcome = Transfer(endpoint, urb, &received, &moved);
    if (outcome == usbdev::Outcome::kAborted && urb->discarded && setup_.lateDiscardMs > 0) {
      // Still on the schedule for a while: the endpoint takes nothing else.
      std::unique_lock<std::mutex> pause(mutex_);
      endpoint->wake.wait_for(pause, std::chrono::milliseconds(setup_.lateDiscardMs),
                              [&] { return stopping_ || gone_; });
    }
    lock.lock();
    endpoint->flying = nullptr;
    int status = 0;
    switch (outcome) {
      case usbdev::Outcome::kDone:
        urb->actual = moved;
        if (endpoint == &in_) {
          urb->actual = static_cast<uint32_t>(received.size());
          urb->bytes.swap(received);
        }
        break;
      case usbdev::Outcome::kStall:
        status = -EPIPE;
        break;
      case usbdev::Outcome::kBabble:
        status = -EOVERFLOW;
        break;
      case usbdev::Outcome::kAborted:
        status = urb->discarded ? -ENOENT : -ESHUTDOWN;
        break;
      case usbdev::Outcome::kGone:
        status = -ESHUTDOWN;
        if (!gone_ && !stopping_) {
          // The printer went: no node to open any more, every URB ends.
          unlink(nodeFile_.c_str());
          FailEverything();
        }
        break;
    }
    Finish(urb, status);
  }
}

usbdev::Outcome UsbfsDevice::Transfer(Endpoint* endpoint, Urb* urb,
                                      std::vector<uint8_t>* received, uint32_t* moved) {
  if (endpoint == &out_) return pipes_.Out(urb->bytes.data(), urb->length, moved, &endpoint->abort);
  return pipes_.In(urb->length, received, &endpoint->abort);
}

void UsbfsDevice::Finish(Urb* urb, int status) {
  urb->status = status;
  if (status != 0) urb->actual = 0;
  if (urb->client == nullptr) {
    delete urb;
    return;
  }
  done_.push_back(urb);
  UpdateNode();
}

void UsbfsDevice::FailEverything() {
  gone_ = true;
  for (Endpoint* endpoint : {&in_, &out_}) {
    while (!endpoint->queue.empty()) {
      Urb* urb = endpoint->queue.front();
      endpoint->queue.pop_front();
      Finish(urb, -ESHUTDOWN);
    }
    if (endpoint->flying != nullptr) endpoint->abort.Abort();
    endpoint->wake.notify_all();  // a URB given back late goes now
  }
}

void UsbfsDevice::UpdateNode() {
  bool wanted = !done_.empty();
  if (wanted == reapable_ || fifo_ < 0) return;
  char mark = 'n';
  ssize_t n = wanted ? read(fifo_, &mark, 1) : write(fifo_, &mark, 1);
  if (n == 1) reapable_ = wanted;
}

}  // namespace usbbridge
