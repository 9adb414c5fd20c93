// Converting an engine plan result into nested dictionaries.
//
// Each record value becomes {"attributes": {...}, "children": {...}}. The
// rows of the record's plan consume its child values strictly in order
// through one forward cursor: a row looks only at the value under the
// cursor, takes it when it matches and otherwise emits its absent value and
// leaves the value for the next row. Leaves become int, float, bool, str,
// None or instances of the shape's callback type. The engine's tree is only
// read, never changed or freed.
#include "plan.h"

#include "../engine/fns.h"
#include "../module.h"

#include <cstdint>
#include <cstring>

namespace korvith {

namespace {

constexpr size_t kSnapshotFailed = SIZE_MAX;

PyObject* decode(const char* text, size_t len) {
  if (len > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(len), "replace");
}

bool named_like(const char* value_name, const RowShape& row) {
  return value_name && row.name && std::strcmp(value_name, row.name.get()) == 0;
}

// Deepest record nesting converted. Real trees follow element nesting,
// which the XML parser already bounds far below this; the limit keeps the
// native stack use of the recursion small and fixed.
constexpr int kMaxRecordDepth = 10000;

// One conversion: the shape it reads and the current record nesting.
struct Walk {
  const PlanShape* shape;
  int depth;
};

PyObject* plan_convert_element(PlanValue value, Walk& walk, int plan_index);

// Leaf conversion: typed when the tag asks for it and the engine agrees,
// else a callback_type instance for callback values, else the text.
PyObject* plan_leaf(PlanValue value, PyObject* callback_type, int tag) {
  if (tag == KORVITH_TAG_INT) {
    long long number = 0;
    if (Fns.plan_value_int(value, &number) == 0) return PyLong_FromLongLong(number);
  } else if (tag == KORVITH_TAG_FLOAT) {
    double number = 0.0;
    if (Fns.plan_value_float(value, &number) == 0) return PyFloat_FromDouble(number);
  } else if (tag == KORVITH_TAG_BOOL) {
    int flag = 0;
    if (Fns.plan_value_bool(value, &flag) == 0) return PyBool_FromLong(flag != 0);
  }
  if (Fns.plan_value_kind(value) == KORVITH_VALUE_CALLBACK) {
    const char* text = Fns.plan_value_string(value);
    Ref text_obj;
    if (text) {
      text_obj.reset(decode(text, Fns.plan_value_length(value)));
      if (!text_obj) return nullptr;
    } else {
      text_obj = Ref::borrow(Py_None);
    }
    Ref position(PyLong_FromSize_t(Fns.plan_value_position(value)));
    if (!position) return nullptr;
    Ref type_tag(PyLong_FromLong(Fns.plan_value_type_tag(value)));
    if (!type_tag) return nullptr;
    PyObject* call_args[] = {text_obj.get(), position.get(), type_tag.get()};
    return PyObject_Vectorcall(callback_type, call_args, 3, nullptr);
  }
  const char* text = Fns.plan_value_string(value);
  if (!text) Py_RETURN_NONE;
  return decode(text, Fns.plan_value_length(value));
}

PyObject* new_list(size_t size) {
  if (size > static_cast<size_t>(PY_SSIZE_T_MAX / sizeof(PyObject*))) return PyErr_NoMemory();
  return PyList_New(static_cast<Py_ssize_t>(size));
}

// Every item of a collection as a leaf, whatever its own value kind.
PyObject* plan_collection_items(PlanValue collection, PyObject* callback_type, int tag) {
  size_t count = Fns.plan_value_count(collection);
  Ref items(new_list(count));
  if (!items) return nullptr;
  for (size_t j = 0; j < count; ++j) {
    PyObject* item = plan_leaf(Fns.plan_value_at(collection, j), callback_type, tag);
    if (!item) return nullptr;
    PyList_SET_ITEM(items.get(), static_cast<Py_ssize_t>(j), item);
  }
  return items.release();
}

// Kind 7 rows: records converted with the row's plan, the rest as leaves.
PyObject* plan_record_list(PlanValue collection, Walk& walk, const RowShape& row) {
  size_t count = Fns.plan_value_count(collection);
  Ref items(new_list(count));
  if (!items) return nullptr;
  for (size_t j = 0; j < count; ++j) {
    PlanValue item = Fns.plan_value_at(collection, j);
    PyObject* converted = row.child_index >= 0 && Fns.plan_value_kind(item) == KORVITH_VALUE_RECORD
                              ? plan_convert_element(item, walk, row.child_index)
                              : plan_leaf(item, walk.shape->callback_type.get(), row.tag);
    if (!converted) return nullptr;
    PyList_SET_ITEM(items.get(), static_cast<Py_ssize_t>(j), converted);
  }
  return items.release();
}

// Stores a row's value; rows sharing their name collect into one list.
int plan_row_emit(PyObject* children, const RowShape& row, PyObject* value) {
  if (!row.multi) return PyDict_SetItem(children, row.key.get(), value);
  PyObject* found = nullptr;
  int present = PyDict_GetItemRef(children, row.key.get(), &found);
  if (present < 0) return -1;
  Ref list(found);
  if (!present) {
    list.reset(PyList_New(0));
    if (!list) return -1;
    if (PyDict_SetItem(children, row.key.get(), list.get()) < 0) return -1;
  }
  return PyList_Append(list.get(), value);
}

int emit_absent(PyObject* children, const RowShape& row) {
  bool list_kind = row.kind == KORVITH_ROW_TEXTS || row.kind == KORVITH_ROW_TOKENS ||
                   row.kind == KORVITH_ROW_WRAPPED;
  Ref absent(list_kind ? PyList_New(0) : Py_NewRef(Py_None));
  if (!absent) return -1;
  return plan_row_emit(children, row, absent.get());
}

// A list of converted records, or the single record itself.
PyObject* list_or_single(Ref list) {
  if (PyList_GET_SIZE(list.get()) == 1) return Py_NewRef(PyList_GET_ITEM(list.get(), 0));
  return list.release();
}

int append_converted(PyObject* list, PyObject* converted) {
  if (!converted) return -1;
  Ref owned(converted);
  return PyList_Append(list, converted);
}

// A grouped row takes the run of child values whose type tag equals its
// own, whatever their names; returns the row's value (new reference) or,
// for an empty run, the absent marker `nullptr` with no error set.
PyObject* convert_run(PlanValue record, size_t count, size_t& cursor, Walk& walk,
                      const RowShape& row, bool& failed) {
  failed = false;
  Ref records;
  if (row.kind == KORVITH_ROW_RECORDS) {
    records.reset(PyList_New(0));
    if (!records) {
      failed = true;
      return nullptr;
    }
  }
  PlanValue first = nullptr;
  size_t end = cursor;
  for (; end < count; ++end) {
    PlanValue value = Fns.plan_value_at(record, end);
    if (static_cast<int>(Fns.plan_value_type_tag(value)) != row.tag) break;
    if (end == cursor) first = value;
    if (records &&
        append_converted(records.get(), plan_convert_element(value, walk, row.child_index)) < 0) {
      failed = true;
      return nullptr;
    }
  }
  if (end == cursor) return nullptr;
  cursor = end;
  if (records) return list_or_single(std::move(records));
  PyObject* result = Fns.plan_value_kind(first) == KORVITH_VALUE_COLLECTION
                         ? plan_collection_items(first, walk.shape->callback_type.get(), row.tag)
                         : plan_leaf(first, walk.shape->callback_type.get(), row.tag);
  if (!result) failed = true;
  return result;
}

// Whether the value under the cursor matches the row (see the row-kind
// rules: named leaves, named records, or collections told apart by their
// first item's name, their own name, or an unnamed first item).
bool row_matches(const RowShape& row, PlanValue value, int kind, const char* name) {
  switch (row.kind) {
    case KORVITH_ROW_TEXT:
    case KORVITH_ROW_CALLBACK:
    case KORVITH_ROW_OWN_TEXT:
      return named_like(name, row) && kind != KORVITH_VALUE_RECORD &&
             kind != KORVITH_VALUE_COLLECTION;
    case KORVITH_ROW_RECORDS: return named_like(name, row) && kind == KORVITH_VALUE_RECORD;
    default: break;
  }
  if (kind != KORVITH_VALUE_COLLECTION) return false;
  if (Fns.plan_value_count(value) == 0) return true;
  const char* first_name = Fns.plan_value_name(Fns.plan_value_at(value, 0));
  if (row.kind == KORVITH_ROW_TEXTS) return named_like(first_name, row);
  if (row.kind == KORVITH_ROW_WRAPPED) return named_like(name, row);
  return first_name == nullptr;
}

// Converts a matched row's values, advancing the cursor past them.
PyObject* convert_matched(PlanValue record, size_t count, size_t& cursor, PlanValue value, int kind,
                          Walk& walk, const RowShape& row) {
  if (row.kind == KORVITH_ROW_RECORDS) {
    Ref records(PyList_New(0));
    if (!records) return nullptr;
    while (true) {
      if (append_converted(records.get(), plan_convert_element(value, walk, row.child_index)) < 0) {
        return nullptr;
      }
      if (++cursor >= count) break;
      value = Fns.plan_value_at(record, cursor);
      if (Fns.plan_value_kind(value) != KORVITH_VALUE_RECORD ||
          !named_like(Fns.plan_value_name(value), row)) {
        break;
      }
    }
    return list_or_single(std::move(records));
  }
  ++cursor;
  if (row.kind == KORVITH_ROW_WRAPPED) return plan_record_list(value, walk, row);
  if (kind == KORVITH_VALUE_COLLECTION)
    return plan_collection_items(value, walk.shape->callback_type.get(), row.tag);
  return plan_leaf(value, walk.shape->callback_type.get(), row.tag);
}

int convert_rows(PyObject* children, PlanValue record, const RecordShape& plan, Walk& walk) {
  size_t count = Fns.plan_value_count(record);
  size_t cursor = 0;
  for (Py_ssize_t r = 0; r < plan.row_count(); ++r) {
    const RowShape& row = plan.rows[r];
    Ref result;
    if (cursor < count && row.multi && row.tag) {
      bool failed = false;
      result.reset(convert_run(record, count, cursor, walk, row, failed));
      if (failed) return -1;
    } else if (cursor < count) {
      PlanValue value = Fns.plan_value_at(record, cursor);
      int kind = Fns.plan_value_kind(value);
      const char* name = Fns.plan_value_name(value);
      if (row_matches(row, value, kind, name)) {
        result.reset(convert_matched(record, count, cursor, value, kind, walk, row));
        if (!result) return -1;
      }
    }
    int status = result ? plan_row_emit(children, row, result.get()) : emit_absent(children, row);
    if (status < 0) return -1;
  }
  return 0;
}

// Engine strings inside a snapshot buffer: offsets beyond the buffer are a
// broken snapshot, never read.
bool snapshot_string(const char* buffer, size_t size, size_t offset, const char** out) {
  if (offset > size) return false;
  *out = buffer + offset;  // the buffer carries a terminator at `size`
  return true;
}

// The attribute merge walk: plan attribute names in plan order against the
// engine's attributes in engine order, each engine attribute used at most
// once and never looked for behind the walk.
int convert_attributes(PyObject* attributes, PlanValue record, const RecordShape& plan) {
  if (plan.attr_count() == 0) return 0;
  size_t engine_count = Fns.plan_value_attribute_count(record);
  MemBlock names;
  MemBlock values;
  MemBlock name_offsets;
  MemBlock value_offsets;
  size_t size = 0;
  if (engine_count > 0) {
    if (engine_count >= static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(size_t)) {
      PyErr_NoMemory();
      return -1;
    }
    size = Fns.plan_value_attributes_snapshot(record, nullptr, 0, nullptr, nullptr, 0, nullptr);
    if (size >= static_cast<size_t>(PY_SSIZE_T_MAX)) {
      PyErr_NoMemory();
      return -1;
    }
    size_t offsets_bytes = (engine_count + 1) * sizeof(size_t);
    // Each text buffer gets one byte more than the engine asked for, so a
    // terminator can be forced at its end.
    if (!names.resize(size + 1) || !values.resize(size + 1) ||
        !name_offsets.resize(offsets_bytes) || !value_offsets.resize(offsets_bytes)) {
      PyErr_NoMemory();
      return -1;
    }
    std::memset(name_offsets.as(), 0, offsets_bytes);
    std::memset(value_offsets.as(), 0, offsets_bytes);
    std::memset(names.as(), 0, size + 1);
    std::memset(values.as(), 0, size + 1);
    size_t filled = Fns.plan_value_attributes_snapshot(record, names.as<char>(), size,
                                                       name_offsets.as<size_t>(), values.as<char>(),
                                                       size, value_offsets.as<size_t>());
    if (filled == kSnapshotFailed) {
      PyErr_NoMemory();
      return -1;
    }
    // Whatever the engine wrote, every string ends inside its buffer.
    names.as<char>()[size] = '\0';
    values.as<char>()[size] = '\0';
  }

  size_t e = 0;
  for (Py_ssize_t i = 0; i < plan.attr_count(); ++i) {
    Ref value;
    const char* engine_name = nullptr;
    const char* engine_value = nullptr;
    if (e < engine_count) {
      if (!snapshot_string(names.as<char>(), size, name_offsets.as<size_t>()[e], &engine_name) ||
          !snapshot_string(values.as<char>(), size, value_offsets.as<size_t>()[e], &engine_value)) {
        raise_engine_error("attribute snapshot failed");
        return -1;
      }
    }
    if (engine_name && std::strcmp(engine_name, plan.attr_names[i].get()) == 0) {
      value.reset(decode(engine_value, std::strlen(engine_value)));
      if (!value) return -1;
      ++e;
    } else {
      value = Ref::borrow(Py_None);
    }
    if (PyDict_SetItem(attributes, plan.attr_keys[i].get(), value.get()) < 0) return -1;
  }
  return 0;
}

PyObject* convert_record(PlanValue record, Walk& walk, int plan_index) {
  if (plan_index < 0 || plan_index >= walk.shape->plan_count) {
    // Plan indices are checked when the shape is built; only the all-zero
    // plan 0 of a shape without plans is reached here.
    if (!(plan_index == 0 && walk.shape->plan_count == 0)) {
      PyErr_Format(PyExc_ValueError, "child_index %d is not a plan index", plan_index);
      return nullptr;
    }
  }
  const RecordShape& plan = walk.shape->plans[plan_index];
  Ref children(PyDict_New());
  if (!children) return nullptr;
  if (convert_rows(children.get(), record, plan, walk) < 0) return nullptr;
  Ref attributes(PyDict_New());
  if (!attributes) return nullptr;
  if (convert_attributes(attributes.get(), record, plan) < 0) return nullptr;
  // The two keys are made once (interned, never released) instead of
  // once per record.
  static PyObject* const attributes_key = PyUnicode_InternFromString("attributes");
  static PyObject* const children_key = PyUnicode_InternFromString("children");
  if (!attributes_key || !children_key) return PyErr_NoMemory();
  Ref result(PyDict_New());
  if (!result) return nullptr;
  if (PyDict_SetItem(result.get(), attributes_key, attributes.get()) < 0 ||
      PyDict_SetItem(result.get(), children_key, children.get()) < 0) {
    return nullptr;
  }
  return result.release();
}

// One record's dictionary. Nesting follows the engine's tree, so its depth
// is bounded twice: by an explicit record limit, and by the interpreter's
// native stack guard for threads with small stacks. Either way a tree too
// deep fails with RecursionError instead of overflowing the stack.
PyObject* plan_convert_element(PlanValue value, Walk& walk, int plan_index) {
  if (walk.depth >= kMaxRecordDepth) {
    PyErr_Format(PyExc_RecursionError, "plan result nested more than %d records deep",
                 kMaxRecordDepth);
    return nullptr;
  }
  if (Py_EnterRecursiveCall(" while converting a plan result")) return nullptr;
  ++walk.depth;
  PyObject* result = convert_record(value, walk, plan_index);
  --walk.depth;
  Py_LeaveRecursiveCall();
  return result;
}

}  // namespace

PyObject* accel_plan_convert(PyObject*, PyObject* args) {
  unsigned long long address = 0;
  PyObject* capsule = nullptr;
  if (!PyArg_ParseTuple(args, "KO:plan_convert", &address, &capsule)) return nullptr;
  if (!bound) {
    PyErr_SetString(PyExc_RuntimeError, "accelerator not bound");
    return nullptr;
  }
  auto* shape = static_cast<PlanShape*>(PyCapsule_GetPointer(capsule, nullptr));
  if (!shape) return nullptr;
  // Another library's unnamed capsule holds something else entirely.
  if (PyCapsule_GetDestructor(capsule) != plan_shape_capsule_destructor) {
    PyErr_SetString(PyExc_ValueError, "shape_capsule is not a plan shape capsule");
    return nullptr;
  }
  auto* root = reinterpret_cast<PlanValue>(static_cast<uintptr_t>(address));
  Walk walk{shape, 0};
  return plan_convert_element(root, walk, 0);
}

}  // namespace korvith
