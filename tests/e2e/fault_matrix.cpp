#include "fault_matrix.h"

#include <algorithm>

namespace e2e {
namespace {

enum class Fault { kNoReply, kError, kBadLength, kShortPayload, kLongPayload, kFlags, kGarbage, kUnplug };

struct FaultName {
  Fault fault;
  const char* name;
  const char* action;  // as the scenario writes it
};

const FaultName kReplyFaults[] = {
    {Fault::kNoReply, "noreply", "noreply"},         {Fault::kError, "error", "error a"},
    {Fault::kBadLength, "badlength", "badlength"},   {Fault::kShortPayload, "short payload", "payload 0"},
    {Fault::kLongPayload, "long payload", "payload 290"}, {Fault::kFlags, "flags", "flags"},
    {Fault::kGarbage, "garbage", "garbage 20"},      {Fault::kUnplug, "unplug", "unplug"},
};

// What each fault makes of a reply the library reads: the status the read
// ends with, or 0 when the reply is still taken.
int ReadStatus(Fault fault) {
  switch (fault) {
    case Fault::kNoReply:
    case Fault::kBadLength:
    case Fault::kGarbage:
    case Fault::kUnplug:
      return 2600;
    case Fault::kError:
      return 2200;  // error code 'a'
    default:
      return 0;
  }
}

// Image sizes of the matrix's package (both sets alike).
constexpr int kUsbSize = 9000, kMainSize = 20000, kDspSize = 9000, kTableSize = 5000;

struct Target {
  const char* label;
  int number;
  char code;          // in the stored list
  int bytesBefore;    // image bytes the printer took before this image
  const char* before; // targets stored before this one
};
const Target kEngineTargets[] = {
    {"MAIN", 1, '1', kUsbSize, "6"},
    {"DSP", 0, '0', kUsbSize + kMainSize, "61"},
    {"TABLE", 2, '2', kUsbSize + kMainSize + kDspSize, "610"},
};
const int kImageSizes[] = {kMainSize, kDspSize, kTableSize};

std::string Keys(const std::string& kind, const char* action, const char* occurrence) {
  return "fault_" + kind + " = " + action + occurrence;
}

const char kVersionError[] = "#printer %P Printer Program Version Error...              \n\n";

// The controller phase: the firmware information, the announcement, the image.
void ControllerRows(std::vector<MatrixRow>* rows) {
  for (int k = 1; k <= 7; ++k) {
    for (const FaultName& f : kReplyFaults) {
      MatrixRow r;
      r.name = "controller info" + std::to_string(k) + " " + f.name;
      r.keys = Keys("info" + std::to_string(k), f.action, " @1");
      int status = ReadStatus(f.fault);
      if (status != 0) {
        // Unreadable: the set of MODE 1, the old one, for the controller image.
        r.lines.push_back("usb_get_firmware_info = " + std::to_string(status) + " \n");
        r.usbSet = 'o';
        if (f.fault == Fault::kUnplug) {
          r.lines.push_back("usb_target_update (USB) = 1000 \n");
          r.usb = 'f';
          r.status = 255;
          r.usbCode = 1000;
          r.engine = '-';
          r.stored = "";
          r.gone = true;
        }
        r.timeouts = f.fault == Fault::kNoReply;
      } else if (f.fault == Fault::kShortPayload || f.fault == Fault::kFlags) {
        // The entry gets what stood in the payload buffer (nothing before
        // component 1; component 1's answer before component 2) or a status
        // payload, whose first 8 bytes are no version text.
        if (k == 1) r.usbSet = 'o';
        if (k == 2) {
          // "E0208000" or zeros: no program the update accepts.
          r.lines.push_back(kVersionError);
          r.usb = 'f';
          r.status = 255;
          r.stored = "102";
        }
      }
      rows->push_back(r);
    }
  }
  for (const FaultName& f : kReplyFaults) {
    MatrixRow r;
    r.name = std::string("controller announce ") + f.name;
    r.keys = Keys("announce6", f.action, " @1");
    int status = ReadStatus(f.fault);
    if (status != 0) {
      r.lines.push_back("usb_target_update (USB) = " + std::to_string(status) + " \n");
      r.usb = 'f';
      r.status = 255;
      r.usbCode = status;
      r.stored = "102";
      r.timeouts = f.fault == Fault::kNoReply;
      if (f.fault == Fault::kUnplug) {
        r.engine = '-';
        r.stored = "";
        r.gone = true;
      } else if (f.fault == Fault::kBadLength || f.fault == Fault::kGarbage) {
        // The printer took the announcement and waits for the image: the
        // engine phase's first command becomes image bytes, never answered.
        r.lines.push_back("Check status NG (2600)... #printer %P                          \n\n");
        r.engine = 'f';
        r.engineCode = 2600;
        r.stored = "";
        r.timeouts = 1;
      }
    }
    rows->push_back(r);
  }
  {
    MatrixRow r;
    r.name = "controller image unplug";
    r.keys = "unplug_after_bytes = 5000";
    r.lines = {"usb_write_data (USB) = 2600 \n"};
    r.usb = 'f';
    r.status = 255;
    r.usbCode = 2600;
    r.engine = '-';
    r.stored = "";
    r.rejections = {"unplugged"};
    r.gone = true;
    rows->push_back(r);
  }
  {
    MatrixRow r;
    r.name = "controller image stall";
    r.keys = "stall_after_bytes = 5000";
    // Stalled until unplugged: the engine phase's first command is never taken either.
    r.lines = {"usb_write_data (USB) = 2600 \n", "Check status NG (2600)... #printer %P                          \n\n"};
    r.usb = 'f';
    r.status = 255;
    r.usbCode = 2600;
    r.engine = 'f';
    r.engineCode = 2600;
    r.stored = "";
    r.rejections = {"stalled"};
    r.timeouts = 2;
    rows->push_back(r);
  }
  {
    MatrixRow r;
    r.name = "controller image busy for ever";
    r.keys = "store_ms_6 = -1";
    r.lines = {"Check status NG (2101)... #printer %P                          \n\n"};
    r.engine = 'f';
    r.status = 255;
    r.engineCode = 2101;
    r.stored = "6";
    rows->push_back(r);
  }
}

void EngineRows(std::vector<MatrixRow>* rows) {
  for (const FaultName& f : kReplyFaults) {
    // The opening status check.
    MatrixRow r;
    r.name = std::string("engine opening status ") + f.name;
    r.keys = Keys("status", f.action, " @1");
    int status = f.fault == Fault::kFlags ? 2100 : ReadStatus(f.fault);
    // A status reply of the wrong length is still judged by its state.
    if (f.fault == Fault::kBadLength) status = 0;
    if (status != 0) {
      r.lines.push_back("Check status NG (" + std::to_string(status) + ")... #printer %P                          \n\n");
      r.engine = 'f';
      r.status = 255;
      r.engineCode = status;
      r.stored = "6";
      r.timeouts = f.fault == Fault::kNoReply;
    }
    rows->push_back(r);
  }
  for (const FaultName& f : kReplyFaults) {
    // The status asked before MAIN: anything but 0 or 2306 only makes the
    // waits poll, unless the printer has gone.
    MatrixRow r;
    r.name = std::string("engine pre-MAIN status ") + f.name;
    r.keys = Keys("status", f.action, " @2");
    r.timeouts = f.fault == Fault::kNoReply;
    if (f.fault == Fault::kUnplug) {
      r.lines = {"usb_universal_command (MAIN) = 1000 \n"};
      r.engine = 'f';
      r.status = 255;
      r.engineCode = 1000;
      r.stored = "6";
    }
    rows->push_back(r);
  }
  for (int k = 1; k <= 7; ++k) {
    for (const FaultName& f : kReplyFaults) {
      MatrixRow r;
      r.name = "engine info" + std::to_string(k) + " " + f.name;
      r.keys = Keys("info" + std::to_string(k), f.action, " @2");
      int status = ReadStatus(f.fault);
      if (status != 0) {
        // Unreadable: MODE 1's set, the old one, and plain countdowns.
        r.lines.push_back("usb_get_firmware_info = " + std::to_string(status) + " \n");
        r.engineSet = 'o';
        r.timeouts = f.fault == Fault::kNoReply;
        if (f.fault == Fault::kUnplug) {
          r.lines.push_back("usb_target_update (MAIN) = 1000 \n");
          r.engine = 'f';
          r.status = 255;
          r.engineCode = 1000;
          r.stored = "6";
        }
      } else if (f.fault == Fault::kShortPayload || f.fault == Fault::kFlags) {
        if (k == 1) r.engineSet = 'o';
        if (k == 2) {
          r.lines.push_back(kVersionError);
          r.engine = 'f';
          r.status = 255;
          r.stored = "6";
        }
      }
      rows->push_back(r);
    }
  }
  for (const FaultName& f : kReplyFaults) {
    MatrixRow r;
    r.name = std::string("engine pre-MAIN command ") + f.name;
    r.keys = Keys("premain", f.action, "");
    int status = ReadStatus(f.fault);
    if (status != 0) {
      r.lines = {"usb_universal_command (MAIN) = " + std::to_string(status) + " \n"};
      r.engine = 'f';
      r.status = 255;
      r.engineCode = status;
      r.stored = "6";
      r.timeouts = f.fault == Fault::kNoReply;
    }
    rows->push_back(r);
  }
  for (const Target& t : kEngineTargets) {
    for (const FaultName& f : kReplyFaults) {
      MatrixRow r;
      r.name = std::string("engine announce ") + t.label + " " + f.name;
      r.keys = Keys("announce" + std::to_string(t.number), f.action, "");
      int status = ReadStatus(f.fault);
      if (status != 0) {
        r.lines = {std::string("usb_target_update (") + t.label + ") = " + std::to_string(status) + " \n"};
        r.engine = 'f';
        r.status = 255;
        r.engineCode = status;
        r.stored = t.before;
        r.timeouts = f.fault == Fault::kNoReply;
      }
      rows->push_back(r);
    }
  }
  for (const char* kind : {"close1", "close2"}) {
    for (const FaultName& f : kReplyFaults) {
      // Only each call's result counts: a reply still taken is a success.
      MatrixRow r;
      r.name = std::string("engine ") + (kind[5] == '1' ? "first" : "second") + " closing command " + f.name;
      r.keys = Keys(kind, f.action, "");
      int status = ReadStatus(f.fault);
      if (status != 0) {
        r.engine = 'f';
        r.status = 255;
        r.engineCode = status;
        r.timeouts = f.fault == Fault::kNoReply;
      }
      rows->push_back(r);
    }
  }
  for (size_t i = 0; i < 3; ++i) {
    const Target& t = kEngineTargets[i];
    for (bool stall : {false, true}) {
      MatrixRow r;
      r.name = std::string("engine image ") + t.label + (stall ? " stall" : " unplug");
      r.keys = std::string(stall ? "stall_after_bytes = " : "unplug_after_bytes = ") +
               std::to_string(t.bytesBefore + kImageSizes[i] / 2);
      r.lines = {std::string("usb_write_data (") + t.label + ") = 2600 \n"};
      r.engine = 'f';
      r.status = 255;
      r.engineCode = 2600;
      r.stored = t.before;
      r.rejections = {stall ? "stalled" : "unplugged"};
      r.timeouts = stall;
      rows->push_back(r);
    }
  }
  for (size_t i = 0; i < 3; ++i) {
    // Busy for ever once an image has arrived: the next announcement is
    // refused with the busy state; after TABLE there is none.
    const Target& t = kEngineTargets[i];
    MatrixRow r;
    r.name = std::string("engine image ") + t.label + " busy for ever";
    r.keys = "store_ms_" + std::to_string(t.number) + " = -1";
    if (i < 2) {
      r.lines = {std::string("usb_target_update (") + kEngineTargets[i + 1].label + ") = 2101 \n"};
      r.engine = 'f';
      r.status = 255;
      r.engineCode = 2101;
      r.stored = kEngineTargets[i + 1].before;
      r.rejections = {"while storing"};
    }
    rows->push_back(r);
  }
}

}  // namespace

std::vector<MatrixRow> FaultMatrixRows() {
  std::vector<MatrixRow> rows;
  ControllerRows(&rows);
  EngineRows(&rows);
  return rows;
}

std::vector<std::vector<MatrixRow>> FaultMatrixRuns(size_t perRun) {
  std::vector<MatrixRow> rows = FaultMatrixRows();
  // Rows with a 10 s limit spread over the runs, so no run waits for many.
  std::stable_partition(rows.begin(), rows.end(), [](const MatrixRow& r) { return r.timeouts == 0; });
  size_t runs = (rows.size() + perRun - 1) / perRun;
  std::vector<std::vector<MatrixRow>> packed(runs);
  for (size_t i = 0; i < rows.size(); ++i) packed[i % runs].push_back(rows[i]);
  for (auto& run : packed)
    std::stable_partition(run.begin(), run.end(), [](const MatrixRow& r) { return !r.gone; });
  return packed;
}

}  // namespace e2e
