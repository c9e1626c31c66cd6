// Writing a StatusCode through an optional status-out pointer.
#pragma once

#include "wirelet.h"

namespace wirelet {

// Every operation may be given a null status-out; it then writes nothing.
inline void SetStatus(StatusCode* status, StatusCode value) {
  if (status != nullptr) *status = value;
}

}  // namespace wirelet
