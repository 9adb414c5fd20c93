/* The Arrow C Data Interface: the two plain structs through which an Arrow
 * consumer (pyarrow, for one) takes over columnar data without linking the
 * producer's library. The layout is Arrow's stable public ABI; the guard
 * macro is the one every copy of these definitions uses, so this header
 * coexists with another copy in the same translation unit. */
#ifndef KORVITH_ARROW_C_H
#define KORVITH_ARROW_C_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};

#endif /* ARROW_C_DATA_INTERFACE */

#ifdef __cplusplus
}
#endif

#endif /* KORVITH_ARROW_C_H */
