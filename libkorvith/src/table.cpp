// Plan extraction into Arrow record batches: the column types a plan maps
// to, column builders filled straight from the plan values of each record
// (no Python object per value), and the export of a finished batch through
// the Arrow C Data Interface. An exported batch owns its buffers; its
// release callback frees them, so it outlives the stream and the document.
#include "korvith/tables.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "korvith/arrow_c.h"
#include "korvith/plan.h"
#include "entry.h"
#include "plan_model.h"

namespace korvith::table {
namespace {

using plan::CompiledPlan;
using plan::Row;
using plan::Value;

// ---- Column types -------------------------------------------------------------

enum class Type { Utf8, Int64, Float64, Bool, List, Struct };

// One node of the column type tree. A struct node stands for one plan: its
// children are the plan's attributes, then its rows, in plan order. A list
// node has one child, its items.
struct Field {
  Type type = Type::Utf8;
  std::string name;
  std::string path;                  // dotted field path, for messages
  const plan::Plan* plan = nullptr;  // struct nodes
  std::vector<Field> children;
};

bool leaf_type(int tag, Type& out) {
  switch (tag) {
    case KORVITH_TAG_STR: out = Type::Utf8; return true;
    case KORVITH_TAG_INT: out = Type::Int64; return true;
    case KORVITH_TAG_FLOAT: out = Type::Float64; return true;
    case KORVITH_TAG_BOOL: out = Type::Bool; return true;
    default: return false;
  }
}

struct Typer {
  const CompiledPlan& compiled;
  std::vector<size_t> open;  // plans being typed, to refuse recursion
  std::string error;

  bool fail(const std::string& path, const char* why) {
    error = "field '" + path + "' " + why;
    return false;
  }

  bool leaf(Field& out, int tag, const std::string& path) {
    if (!leaf_type(tag, out.type)) return fail(path, "has a type tag Arrow cannot store");
    return true;
  }

  bool list_of(Field& out, const std::string& path) {
    out.type = Type::List;
    out.children.resize(1);
    out.children[0].name = "item";
    out.children[0].path = path;
    return true;
  }

  bool record(Field& out, size_t index, const std::string& path) {
    for (size_t o : open)
      if (o == index)
        return fail(path, "is recursive (a plan that contains itself has no fixed Arrow type)");
    const plan::Plan& p = compiled.plans[index];
    out.type = Type::Struct;
    out.plan = &p;
    out.children.resize(p.attrs.size() + p.rows.size());
    open.push_back(index);
    std::string prefix = path.empty() ? "" : path + ".";
    for (size_t i = 0; i < p.attrs.size(); ++i) {
      Field& f = out.children[i];
      f.type = Type::Utf8;
      f.name = p.attrs[i].text;
      f.path = prefix + f.name;
    }
    for (size_t j = 0; j < p.rows.size(); ++j) {
      Field& f = out.children[p.attrs.size() + j];
      f.name = p.rows[j].name.text;
      f.path = prefix + f.name;
      if (!row(f, p.rows[j])) return false;
    }
    open.pop_back();
    return true;
  }

  bool row(Field& f, const Row& r) {
    switch (r.kind) {
      case KORVITH_ROW_TEXT:
      case KORVITH_ROW_OWN_TEXT: return leaf(f, r.tag, f.path);
      case KORVITH_ROW_CALLBACK:
        return fail(f.path, "has a callback type, which has no Arrow type");
      case KORVITH_ROW_RECORDS:
        if (r.flags & KORVITH_ROW_FIRST_ONLY)
          return record(f, static_cast<size_t>(r.child_index), f.path);
        return list_of(f, f.path) &&
               record(f.children[0], static_cast<size_t>(r.child_index), f.path);
      case KORVITH_ROW_TEXTS:
      case KORVITH_ROW_TOKENS: return list_of(f, f.path) && leaf(f.children[0], r.tag, f.path);
      case KORVITH_ROW_WRAPPED:
        if (!list_of(f, f.path)) return false;
        if (r.child_index >= 0)
          return record(f.children[0], static_cast<size_t>(r.child_index), f.path);
        return leaf(f.children[0], r.tag, f.path);
      default: return fail(f.path, "has an unknown row kind");
    }
  }
};

// ---- Walking a record's values along its plan ---------------------------------------

// Calls `attr(i, value_or_null)` for every attribute of the plan and
// `row(child, row, values, count)` for every row, with the run of the
// record's values that belong to that row. Evaluation lists attributes in
// plan order and values in row order, each named by the plan's own string,
// so one forward cursor with pointer comparison finds every run.
template <typename AttrFn, typename RowFn>
void split_record(const plan::Plan& p, const Value* rec, AttrFn&& attr, RowFn&& row) {
  size_t a = 0;
  for (size_t i = 0; i < p.attrs.size(); ++i) {
    const char* value = nullptr;
    if (a < rec->attr_count && rec->attr_names[a] == p.attrs[i].text.c_str())
      value = rec->attr_values[a++];
    attr(i, value);
  }
  size_t k = 0;
  for (size_t j = 0; j < p.rows.size(); ++j) {
    const char* key = p.rows[j].name.text.c_str();
    size_t start = k;
    while (k < rec->count && rec->items[k]->name == key) ++k;
    row(p.attrs.size() + j, p.rows[j], rec->items + start, k - start);
  }
}

// Items of a collection row (texts, tokens, wrapped): its one collection
// value, or none.
void collection_items(Value* const* values, size_t n, Value* const*& items, size_t& count) {
  items = n ? values[0]->items : nullptr;
  count = n ? values[0]->count : 0;
}

bool convert(Type type, const Value* v, long long& i, double& d, int& b) {
  switch (type) {
    case Type::Int64: return korvith_plan_value_int(v, &i) == 0;
    case Type::Float64: return korvith_plan_value_float(v, &d) == 0;
    case Type::Bool: return korvith_plan_value_bool(v, &b) == 0;
    default: return true;
  }
}

const char* type_word(Type type) {
  switch (type) {
    case Type::Int64: return "an int";
    case Type::Float64: return "a float";
    case Type::Bool: return "a bool";
    default: return "a str";
  }
}

// Before a record is stored: its size (text bytes plus list items, which
// bounds the growth of every 32-bit offset buffer) and, when conversion
// failures are errors, the first text that does not convert.
struct Check {
  bool strict;
  unsigned long long size = 0;
  std::string error;
  int line = 0;

  bool leaf(const Field& f, const Value* v) {
    if (!v->text) return true;
    size += v->length;
    long long i = 0;
    double d = 0;
    int b = 0;
    if (!strict || convert(f.type, v, i, d, b)) return true;
    line = v->position > INT_MAX ? INT_MAX : static_cast<int>(v->position);
    error = "field '" + f.path + "': '" + shown(v) + "' is not " + type_word(f.type) + " (line " +
            std::to_string(v->position) + ")";
    return false;
  }

  // The text as a message shows it: without surrounding whitespace (the
  // conversion ignores it too), cut after 60 bytes at a character boundary.
  static std::string shown(const Value* v) {
    std::string_view text(v->text, v->length);
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && space(text.front())) text.remove_prefix(1);
    while (!text.empty() && space(text.back())) text.remove_suffix(1);
    if (text.size() <= 60) return std::string(text);
    size_t cut = 60;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return std::string(text.substr(0, cut)) + "...";
  }

  bool record(const Field& f, const Value* rec) {
    bool ok = true;
    split_record(
        *f.plan, rec,
        [&](size_t, const char* value) {
          if (value) size += std::strlen(value);
        },
        [&](size_t c, const Row& r, Value* const* values, size_t n) {
          if (ok) ok = row(f.children[c], r, values, n);
        });
    return ok;
  }

  bool row(const Field& f, const Row& r, Value* const* values, size_t n) {
    switch (r.kind) {
      case KORVITH_ROW_TEXT:
      case KORVITH_ROW_OWN_TEXT: return n == 0 || leaf(f, values[0]);
      case KORVITH_ROW_RECORDS: {
        const Field& item = f.type == Type::List ? f.children[0] : f;
        size += n;
        for (size_t i = 0; i < n; ++i)
          if (!record(item, values[i])) return false;
        return true;
      }
      default: {
        Value* const* items;
        size_t count;
        collection_items(values, n, items, count);
        size += count;
        const Field& item = f.children[0];
        for (size_t i = 0; i < count; ++i) {
          bool ok = item.type == Type::Struct ? record(item, items[i]) : leaf(item, items[i]);
          if (!ok) return false;
        }
        return true;
      }
    }
  }
};

// ---- Column builders ----------------------------------------------------------------

// A growable malloc'd buffer whose memory can be handed over to a batch.
class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  Buffer(Buffer&& o) noexcept : data_(o.data_), size_(o.size_), capacity_(o.capacity_) {
    o.data_ = nullptr;
    o.size_ = o.capacity_ = 0;
  }
  ~Buffer() { std::free(data_); }

  void append(const void* bytes, size_t n) {
    reserve(size_ + n);
    if (n) std::memcpy(data_ + size_, bytes, n);
    size_ += n;
  }
  template <typename T>
  void push(T value) {
    append(&value, sizeof value);
  }
  size_t size() const { return size_; }
  unsigned char* data() { return data_; }

  // The memory, now the caller's to free(); never null, so that an empty
  // buffer still has an address. The buffer starts over empty.
  void* take() {
    if (!data_) reserve(8);
    void* out = data_;
    data_ = nullptr;
    size_ = capacity_ = 0;
    return out;
  }

 private:
  void reserve(size_t need) {
    if (need <= capacity_) return;
    size_t capacity = capacity_ ? capacity_ : 64;
    while (capacity < need) capacity *= 2;
    void* grown = std::realloc(data_, capacity);
    if (!grown) throw std::bad_alloc();
    data_ = static_cast<unsigned char*>(grown);
    capacity_ = capacity;
  }

  unsigned char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

class Bits {
 public:
  void push(bool bit) {
    if (count_ % 8 == 0) bytes_.push<unsigned char>(0);
    if (bit) bytes_.data()[count_ / 8] |= static_cast<unsigned char>(1u << (count_ % 8));
    ++count_;
  }
  void* take() {
    count_ = 0;
    return bytes_.take();
  }

 private:
  Buffer bytes_;
  size_t count_ = 0;
};

struct Column {
  const Field* field = nullptr;
  int64_t length = 0;
  int64_t null_count = 0;
  Bits validity;
  Buffer offsets;  // int32: utf8 and lists
  Buffer values;   // utf8 bytes, int64 or double values
  Bits bools;
  std::vector<Column> children;

  void start(const Field& f) {
    field = &f;
    children.resize(f.children.size());
    for (size_t i = 0; i < f.children.size(); ++i) children[i].start(f.children[i]);
    restart();
  }

  // Empties the column for the next batch (its buffers were handed over).
  void restart() {
    length = null_count = 0;
    if (field->type == Type::Utf8 || field->type == Type::List) offsets.push<int32_t>(0);
  }

  void close_slot(bool valid) {
    validity.push(valid);
    if (!valid) ++null_count;
    ++length;
  }

  void end_offset(size_t end) { offsets.push(static_cast<int32_t>(end)); }

  void append_null() {
    switch (field->type) {
      case Type::Utf8: end_offset(values.size()); break;
      case Type::List: end_offset(static_cast<size_t>(children[0].length)); break;
      case Type::Int64: values.push<int64_t>(0); break;
      case Type::Float64: values.push<double>(0); break;
      case Type::Bool: bools.push(false); break;
      case Type::Struct:
        for (Column& c : children) c.append_null();
        break;
    }
    close_slot(false);
  }

  void append_text(const char* text, size_t length_) {
    values.append(text, length_);
    end_offset(values.size());
    close_slot(true);
  }

  void append_leaf(const Value* v) {
    if (!v->text) return append_null();
    long long i = 0;
    double d = 0;
    int b = 0;
    // A failed conversion reaches this point only when failures become
    // nulls: in strict mode the record was checked before.
    if (!convert(field->type, v, i, d, b)) return append_null();
    switch (field->type) {
      case Type::Utf8: return append_text(v->text, v->length);
      case Type::Int64: values.push<int64_t>(i); break;
      case Type::Float64: values.push<double>(d); break;
      case Type::Bool: bools.push(b != 0); break;
      default: return append_null();
    }
    close_slot(true);
  }

  void append_record(const Value* rec) {
    split_record(
        *field->plan, rec,
        [&](size_t c, const char* value) {
          if (value)
            children[c].append_text(value, std::strlen(value));
          else
            children[c].append_null();
        },
        [&](size_t c, const Row& r, Value* const* values_, size_t n) {
          children[c].append_row(r, values_, n);
        });
    close_slot(true);
  }

  void append_row(const Row& r, Value* const* values_, size_t n) {
    switch (r.kind) {
      case KORVITH_ROW_TEXT:
      case KORVITH_ROW_OWN_TEXT: return n ? append_leaf(values_[0]) : append_null();
      case KORVITH_ROW_RECORDS:
        if (field->type == Type::Struct) return n ? append_record(values_[0]) : append_null();
        for (size_t i = 0; i < n; ++i) children[0].append_record(values_[i]);
        break;
      default: {
        Value* const* items;
        size_t count;
        collection_items(values_, n, items, count);
        Column& item = children[0];
        for (size_t i = 0; i < count; ++i) {
          if (item.field->type == Type::Struct)
            item.append_record(items[i]);
          else
            item.append_leaf(items[i]);
        }
        break;
      }
    }
    end_offset(static_cast<size_t>(children[0].length));
    close_slot(true);
  }
};

// ---- Export through the C Data Interface --------------------------------------------

const char* format_of(Type type) {
  switch (type) {
    case Type::Utf8: return "u";
    case Type::Int64: return "l";
    case Type::Float64: return "g";
    case Type::Bool: return "b";
    case Type::List: return "+l";
    case Type::Struct: return "+s";
  }
  return "n";
}

// What an exported schema node owns. Destroying it releases the children
// the consumer has not moved out, so a half-built export cleans up too.
struct SchemaPrivate {
  std::string name;
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> pointers;
  ~SchemaPrivate() {
    for (ArrowSchema& c : children)
      if (c.release) c.release(&c);
  }
};

void release_schema(ArrowSchema* schema) {
  if (!schema || !schema->release) return;
  delete static_cast<SchemaPrivate*>(schema->private_data);
  schema->release = nullptr;
}

void export_schema(const Field& f, bool top, ArrowSchema* out) {
  auto owned = std::make_unique<SchemaPrivate>();
  owned->name = f.name;
  owned->children.resize(f.children.size());
  owned->pointers.resize(f.children.size());
  for (size_t i = 0; i < f.children.size(); ++i) {
    owned->children[i] = ArrowSchema{};
    owned->pointers[i] = &owned->children[i];
    export_schema(f.children[i], false, &owned->children[i]);
  }
  *out = ArrowSchema{};
  out->format = format_of(f.type);
  out->name = owned->name.c_str();
  out->flags = top ? 0 : ARROW_FLAG_NULLABLE;
  out->n_children = static_cast<int64_t>(f.children.size());
  out->children = owned->pointers.empty() ? nullptr : owned->pointers.data();
  out->release = release_schema;
  out->private_data = owned.release();
}

struct ArrayPrivate {
  std::vector<void*> owned;  // malloc'd buffers
  std::vector<const void*> buffers;
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> pointers;
  ~ArrayPrivate() {
    for (ArrowArray& c : children)
      if (c.release) c.release(&c);
    for (void* b : owned) std::free(b);
  }
  // Takes a buffer over; `keep` false lists it as null (a validity bitmap
  // without nulls need not be read). Both vectors have room reserved.
  void add(void* buffer, bool keep = true) {
    owned.push_back(buffer);
    buffers.push_back(keep ? buffer : nullptr);
  }
};

void release_array(ArrowArray* array) {
  if (!array || !array->release) return;
  delete static_cast<ArrayPrivate*>(array->private_data);
  array->release = nullptr;
}

// Moves the column's buffers into `out` and leaves the column empty.
void export_array(Column& c, ArrowArray* out) {
  auto owned = std::make_unique<ArrayPrivate>();
  owned->owned.reserve(3);
  owned->buffers.reserve(3);
  int64_t length = c.length, nulls = c.null_count;
  owned->add(c.validity.take(), nulls > 0);
  switch (c.field->type) {
    case Type::Utf8:
      owned->add(c.offsets.take());
      owned->add(c.values.take());
      break;
    case Type::Int64:
    case Type::Float64: owned->add(c.values.take()); break;
    case Type::Bool: owned->add(c.bools.take()); break;
    case Type::List: owned->add(c.offsets.take()); break;
    case Type::Struct: break;
  }
  owned->children.resize(c.children.size());
  owned->pointers.resize(c.children.size());
  for (size_t i = 0; i < c.children.size(); ++i) {
    owned->children[i] = ArrowArray{};
    owned->pointers[i] = &owned->children[i];
    export_array(c.children[i], &owned->children[i]);
  }
  c.restart();
  *out = ArrowArray{};
  out->length = length;
  out->null_count = nulls;
  out->n_buffers = static_cast<int64_t>(owned->buffers.size());
  out->buffers = owned->buffers.data();
  out->n_children = static_cast<int64_t>(c.children.size());
  out->children = owned->pointers.empty() ? nullptr : owned->pointers.data();
  out->release = release_array;
  out->private_data = owned.release();
}

// ---- The stream ---------------------------------------------------------------------

// A batch ends early once its texts and list items reach this size, so
// memory stays flat with large records; a single record may not exceed
// what a 32-bit offset reaches.
constexpr unsigned long long kBatchBytes = 64ull << 20;
constexpr unsigned long long kRecordLimit = INT32_MAX;

struct TableStream {
  void* records = nullptr;  // korvith_plan_stream_*
  Field root;
  Column columns;
  size_t batch_size = 0;
  bool strict = true;
  const void* pending = nullptr;  // a record read but left for the next batch
  bool ended = false;
  int status = 0;  // 0, or the code every later call returns
  std::string error;
  int error_line = 0;

  ~TableStream() {
    if (records) korvith_plan_stream_free(records);
  }

  int fail(int code, std::string message, int line) {
    status = code;
    error = std::move(message);
    error_line = line;
    return 0;
  }

  // Gathers the next batch's rows; returns how many.
  size_t fill() {
    size_t rows = 0;
    unsigned long long bytes = 0;
    while (rows < batch_size && !status) {
      const void* next = pending ? pending : korvith_plan_stream_next(records);
      pending = nullptr;
      if (!next) {
        ended = true;
        break;
      }
      auto* rec = static_cast<const Value*>(next);
      Check check{strict, 0, {}, 0};
      if (!check.record(root, rec)) {
        fail(-1, check.error, check.line);
        break;
      }
      if (check.size > kRecordLimit) {
        fail(-1,
             "a record holds more than 2 GiB of text at line " + std::to_string(rec->position) +
                 ", more than an Arrow utf8 column takes",
             0);
        break;
      }
      if (rows && bytes + check.size > kBatchBytes) {
        pending = next;
        break;
      }
      columns.append_record(rec);
      bytes += check.size;
      ++rows;
    }
    return rows;
  }

  int next(ArrowArray* out) {
    if (status) return status;
    if (ended && !pending) return 0;
    size_t rows;
    try {
      rows = fill();
    } catch (const std::bad_alloc&) {
      fail(-2, "out of memory while building a batch", 0);
      return -2;
    }
    if (!rows) return status ? status : 0;
    try {
      export_array(columns, out);
    } catch (const std::bad_alloc&) {
      fail(-2, "out of memory while building a batch", 0);
      return -2;
    }
    return 1;
  }
};

bool type_plan(const void* plan, Field& root, std::string& error) {
  Typer typer{*static_cast<const CompiledPlan*>(plan), {}, {}};
  if (typer.record(root, 0, "")) return true;
  error = typer.error;
  return false;
}

void copy_message(const std::string& message, char* out, size_t capacity) {
  if (out && capacity) std::snprintf(out, capacity, "%s", message.c_str());
}

}  // namespace
}  // namespace korvith::table

using korvith::table::TableStream;

extern "C" {

int korvith_table_schema(const void* plan, void* schema, char* error, size_t error_capacity) try {
  if (!plan || !schema) return -1;
  korvith::table::Field root;
  std::string message;
  if (!korvith::table::type_plan(plan, root, message)) {
    korvith::table::copy_message(message, error, error_capacity);
    return -1;
  }
  korvith::table::export_schema(root, true, static_cast<ArrowSchema*>(schema));
  return 0;
} catch (...) {
  korvith::table::copy_message("out of memory", error, error_capacity);
  return korvith::entry_failed<int>(-1);
}

void* korvith_table_stream_new(const void* plan, void* iterator, const char* tag, size_t batch_size,
                               int flags, char* error, size_t error_capacity) try {
  if (!plan || !iterator || batch_size == 0) {
    korvith::table::copy_message("no plan, iterator or batch size", error, error_capacity);
    return nullptr;
  }
  auto stream = std::make_unique<TableStream>();
  std::string message;
  if (!korvith::table::type_plan(plan, stream->root, message)) {
    korvith::table::copy_message(message, error, error_capacity);
    return nullptr;
  }
  stream->batch_size = batch_size;
  stream->strict = !(flags & KORVITH_TABLE_ERRORS_NULL);
  stream->columns.start(stream->root);
  stream->records = korvith_plan_stream_new(plan, iterator, tag);
  if (!stream->records) {
    korvith::table::copy_message(std::string("malformed tag '") + (tag ? tag : "") + "'", error,
                                 error_capacity);
    return nullptr;
  }
  return stream.release();
} catch (...) {
  korvith::table::copy_message("out of memory", error, error_capacity);
  return korvith::entry_failed<void*>(nullptr);
}

int korvith_table_stream_next(void* stream, void* array) try {
  if (!stream || !array) return -1;
  return static_cast<TableStream*>(stream)->next(static_cast<ArrowArray*>(array));
} catch (...) {
  return korvith::entry_failed<int>(-2);
}

int korvith_table_stream_error(void* stream, char* message, size_t capacity) try {
  if (!stream) return 0;
  auto* s = static_cast<TableStream*>(stream);
  korvith::table::copy_message(s->error, message, capacity);
  return s->error_line;
} catch (...) {
  return korvith::entry_failed<int>(0);
}

void korvith_table_stream_free(void* stream) try {
  delete static_cast<TableStream*>(stream);
} catch (...) {
  korvith::entry_failed();
}

}  // extern "C"
