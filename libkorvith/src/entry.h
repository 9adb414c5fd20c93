// The engine's failure contract at the C ABI: no exception crosses it.
//
// Every extern "C" entry is written as a function-try-block,
//
//     KORVITH_API void* korvith_x(args) try { ... } catch (...) {
//         return korvith::entry_failed<void*>(nullptr);
//     }
//
// so that an exception escaping the body (std::bad_alloc from a container,
// anything else from a bug) becomes the entry's documented failure value,
// with the reason in the thread's last error (korvith_last_error):
// KORVITH_STATUS_NO_MEMORY for std::bad_alloc, KORVITH_STATUS_INTERNAL for
// any other exception.
#ifndef KORVITH_ENTRY_H
#define KORVITH_ENTRY_H

#include "korvith/abi.h"

namespace korvith {

// Records the exception being handled as the thread's last error and
// returns its status. Call only from a catch handler.
int entry_status() noexcept;

// The failure value of an entry whose body threw, after recording why;
// `status`, when given and not null, receives the status too.
template <typename T>
T entry_failed(T value, int* status = nullptr) noexcept {
  int code = entry_status();
  if (status != nullptr) *status = code;
  return value;
}

inline void entry_failed() noexcept { entry_status(); }

}  // namespace korvith

#endif
