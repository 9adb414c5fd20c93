// Typed extraction in one native call.
//
// `extract(element, plan)` checks that the element is a live korvith
// Element, evaluates the engine plan against its node and turns the value
// tree into the dict the user sees, all without running Python code
// between the liveness check and the evaluation: the interpreter stays held
// from the check to the end of the evaluation, so a document closed by
// another thread is either closed before the check (KorvithError) or after
// the evaluation (whose result owns copies of every text). Conversion may
// call the plan's callback type, which is user code; by then the result no
// longer depends on the document.
//
// A plan capsule owns the engine plan, the dict keys of every plan of the
// tree and one spare evaluation result, reused by the next call so that a
// steady loop allocates nothing in the engine.
//
// The engine is reached through the table of plan_direct.h, whose address
// the package hands to `bind` once; the module does not link the engine.
#include "extract.h"

#include "../../common.h"
#include "../../element/element.h"
#include "korvith/abi.h"
#include "korvith/plan_direct.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace korvith::direct {
namespace {

using Value = const void*;

const korvith_plan_direct* engine = nullptr;
PyTypeObject* element_type = nullptr;
PyObject* error_class = nullptr;     // korvith.KorvithError (strong, never released)
PyTypeObject* plan_type = nullptr;   // korvith.Plan (strong, never released)
PyObject* closed_message = nullptr;  // its message for a closed document (strong)

constexpr const char* kCapsuleName = "korvith.extract_plan";

// Deepest record nesting converted; element nesting, which the parser
// bounds, stays far below it. Py_EnterRecursiveCall guards small stacks.
constexpr int kMaxDepth = 10000;

struct RowSpec {
  std::string name;  // byte-equal to the names the engine puts in values
  Ref key;
  int kind = 0;
  int child = -1;
  int tag = 0;
  int flags = 0;
};

struct RecordSpec {
  std::vector<std::string> attr_names;
  std::vector<Ref> attr_keys;
  std::vector<RowSpec> rows;
};

struct DirectPlan {
  void* engine_plan = nullptr;  // owned
  std::vector<RecordSpec> plans;
  Ref callback;
  std::atomic<void*> spare{nullptr};  // one evaluation result kept for reuse

  DirectPlan() = default;
  DirectPlan(const DirectPlan&) = delete;
  DirectPlan& operator=(const DirectPlan&) = delete;
  ~DirectPlan() {
    if (void* result = spare.exchange(nullptr)) engine->result_free(result);
    if (engine_plan) engine->plan_free(engine_plan);
  }

  // A result to evaluate into: the spare one, or a new one.
  void* take_result() {
    void* result = spare.exchange(nullptr);
    return result ? result : engine->result_new();
  }

  // Keeps `result` as the spare unless another call already put one back.
  void give_back(void* result) {
    if (!engine->result_recycle(result)) return;  // too big: freed
    void* expected = nullptr;
    if (!spare.compare_exchange_strong(expected, result)) engine->result_free(result);
  }
};

void capsule_destructor(PyObject* capsule) {
  delete static_cast<DirectPlan*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

DirectPlan* plan_of(PyObject* capsule) {
  if (!PyCapsule_CheckExact(capsule) || !PyCapsule_IsValid(capsule, kCapsuleName)) {
    PyErr_Format(PyExc_TypeError, "plan must be a compiled korvith plan, not %.200s",
                 Py_TYPE(capsule)->tp_name);
    return nullptr;
  }
  return static_cast<DirectPlan*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

bool check_bound() {
  if (engine) return true;
  PyErr_SetString(PyExc_RuntimeError, "plan extraction is not bound to the engine");
  return false;
}

// ---- conversion ---------------------------------------------------------

PyObject* decode(const char* text, size_t length) {
  if (!text) Py_RETURN_NONE;
  if (length > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(length), "replace");
}

// A leaf: typed when the tag asks for it and the text converts, a callback
// instance for callback values, else the text (None when there is none).
PyObject* leaf(Value value, int tag, PyObject* callback) {
  if (tag == KORVITH_TAG_INT) {
    long long number = 0;
    if (engine->value_int(value, &number) == 0) return PyLong_FromLongLong(number);
  } else if (tag == KORVITH_TAG_FLOAT) {
    double number = 0.0;
    if (engine->value_float(value, &number) == 0) return PyFloat_FromDouble(number);
  } else if (tag == KORVITH_TAG_BOOL) {
    int flag = 0;
    if (engine->value_bool(value, &flag) == 0) return PyBool_FromLong(flag != 0);
  }
  Ref text(decode(engine->value_string(value), engine->value_length(value)));
  if (!text || engine->value_kind(value) != KORVITH_VALUE_CALLBACK) return text.release();
  Ref line(PyLong_FromSize_t(engine->value_position(value)));
  if (!line) return nullptr;
  Ref type_tag(PyLong_FromLong(engine->value_type_tag(value)));
  if (!type_tag) return nullptr;
  PyObject* call_args[] = {text.get(), line.get(), type_tag.get()};
  return PyObject_Vectorcall(callback, call_args, 3, nullptr);
}

bool named(Value value, const RowSpec& row) {
  const char* name = engine->value_name(value);
  return name && std::strcmp(name, row.name.c_str()) == 0;
}

bool is_leaf(int kind) { return kind == KORVITH_VALUE_TEXT || kind == KORVITH_VALUE_CALLBACK; }

struct Walk {
  const DirectPlan& plan;
  int depth = 0;
};

PyObject* record(Walk& walk, Value value, int index);

// The items of a collection: records of the row's plan (wrapped records)
// or leaves.
PyObject* items(Walk& walk, Value collection, const RowSpec& row) {
  size_t count = engine->value_count(collection);
  if (count > static_cast<size_t>(PY_SSIZE_T_MAX / sizeof(PyObject*))) return PyErr_NoMemory();
  Ref list(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  bool records = row.kind == KORVITH_ROW_WRAPPED && row.child >= 0;
  for (size_t i = 0; i < count; ++i) {
    Value item = engine->value_at(collection, i);
    PyObject* converted = records && engine->value_kind(item) == KORVITH_VALUE_RECORD
                              ? record(walk, item, row.child)
                              : leaf(item, row.tag, walk.plan.callback.get());
    if (!converted) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), converted);
  }
  return list.release();
}

// One row's value. The engine lists the values of a record in row order
// and leaves out absent texts and records, so a row takes the value under
// the cursor when it is the row's own (its name and kind) and otherwise
// reads as absent: None, or an empty list for the list-valued rows.
PyObject* row_value(Walk& walk, Value rec, size_t count, size_t& cursor, const RowSpec& row) {
  Value current = cursor < count ? engine->value_at(rec, cursor) : nullptr;
  int kind = current ? engine->value_kind(current) : -1;
  bool own = current && named(current, row);
  switch (row.kind) {
    case KORVITH_ROW_TEXT:
    case KORVITH_ROW_CALLBACK:
    case KORVITH_ROW_OWN_TEXT:
      if (!own || !is_leaf(kind)) Py_RETURN_NONE;
      ++cursor;
      return leaf(current, row.tag, walk.plan.callback.get());
    case KORVITH_ROW_RECORDS: {
      if (row.flags & KORVITH_ROW_FIRST_ONLY) {
        if (!own || kind != KORVITH_VALUE_RECORD) Py_RETURN_NONE;
        ++cursor;
        return record(walk, current, row.child);
      }
      Ref list(PyList_New(0));
      if (!list) return nullptr;
      while (current && engine->value_kind(current) == KORVITH_VALUE_RECORD &&
             named(current, row)) {
        Ref one(record(walk, current, row.child));
        if (!one || PyList_Append(list.get(), one.get()) < 0) return nullptr;
        ++cursor;
        current = cursor < count ? engine->value_at(rec, cursor) : nullptr;
      }
      return list.release();
    }
    default:  // texts, tokens, wrapped: one collection, always present
      if (!own || kind != KORVITH_VALUE_COLLECTION) return PyList_New(0);
      ++cursor;
      return items(walk, current, row);
  }
}

// The attributes first (plan order; the engine lists those present in that
// order), then the fields in row order.
PyObject* record_dict(Walk& walk, Value value, const RecordSpec& spec) {
  Ref out(PyDict_New());
  if (!out) return nullptr;
  size_t present = engine->value_attribute_count(value);
  size_t next = 0;
  for (size_t i = 0; i < spec.attr_names.size(); ++i) {
    Ref text;
    const char* name = next < present ? engine->value_attribute_name(value, next) : nullptr;
    if (name && spec.attr_names[i] == name) {
      const char* raw = engine->value_attribute_value(value, next++);
      text.reset(decode(raw, raw ? std::strlen(raw) : 0));
    } else {
      text = Ref::borrow(Py_None);
    }
    if (!text || PyDict_SetItem(out.get(), spec.attr_keys[i].get(), text.get()) < 0) {
      return nullptr;
    }
  }
  size_t count = engine->value_count(value);
  size_t cursor = 0;
  for (const RowSpec& row : spec.rows) {
    Ref field(row_value(walk, value, count, cursor, row));
    if (!field || PyDict_SetItem(out.get(), row.key.get(), field.get()) < 0) return nullptr;
  }
  return out.release();
}

PyObject* record(Walk& walk, Value value, int index) {
  if (index < 0 || static_cast<size_t>(index) >= walk.plan.plans.size()) {
    PyErr_Format(PyExc_ValueError, "plan %d does not exist", index);
    return nullptr;
  }
  if (walk.depth >= kMaxDepth) {
    PyErr_Format(PyExc_RecursionError, "plan result nested more than %d records deep", kMaxDepth);
    return nullptr;
  }
  if (Py_EnterRecursiveCall(" while converting a plan result")) return nullptr;
  ++walk.depth;
  PyObject* out = record_dict(walk, value, walk.plan.plans[static_cast<size_t>(index)]);
  --walk.depth;
  Py_LeaveRecursiveCall();
  return out;
}

// ---- preparing a plan -----------------------------------------------------

// A str name as UTF-8 plus the key object itself.
bool name_of(PyObject* obj, std::string& name, Ref& key) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "plan names must be str, not %.200s", Py_TYPE(obj)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!utf8) return false;
  name.assign(utf8, static_cast<size_t>(size));
  key = Ref::borrow(obj);
  return true;
}

bool read_int(PyObject* obj, int& out) {
  long value = PyLong_AsLong(obj);
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < INT32_MIN || value > INT32_MAX) {
    PyErr_SetString(PyExc_ValueError, "plan row number out of range");
    return false;
  }
  out = static_cast<int>(value);
  return true;
}

bool read_row(PyObject* item, RowSpec& row, size_t plan_count) {
  if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 5) {
    PyErr_SetString(PyExc_TypeError, "a plan row is (name, kind, child, tag, flags)");
    return false;
  }
  if (!name_of(PyTuple_GET_ITEM(item, 0), row.name, row.key) ||
      !read_int(PyTuple_GET_ITEM(item, 1), row.kind) ||
      !read_int(PyTuple_GET_ITEM(item, 2), row.child) ||
      !read_int(PyTuple_GET_ITEM(item, 3), row.tag) ||
      !read_int(PyTuple_GET_ITEM(item, 4), row.flags)) {
    return false;
  }
  if (row.kind < KORVITH_ROW_TEXT || row.kind > KORVITH_ROW_WRAPPED) {
    PyErr_Format(PyExc_ValueError, "unknown plan row kind %d", row.kind);
    return false;
  }
  bool needs_plan =
      row.kind == KORVITH_ROW_RECORDS || (row.kind == KORVITH_ROW_WRAPPED && row.child >= 0);
  if (needs_plan && (row.child < 0 || static_cast<size_t>(row.child) >= plan_count)) {
    PyErr_Format(PyExc_ValueError, "row %R refers to plan %d, which does not exist", row.key.get(),
                 row.child);
    return false;
  }
  return true;
}

bool read_record(PyObject* item, RecordSpec& spec, size_t plan_count) {
  if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 2 ||
      !PyTuple_CheckExact(PyTuple_GET_ITEM(item, 0)) ||
      !PyList_CheckExact(PyTuple_GET_ITEM(item, 1))) {
    PyErr_SetString(PyExc_TypeError, "a plan is (attribute tuple, row list)");
    return false;
  }
  PyObject* attrs = PyTuple_GET_ITEM(item, 0);
  PyObject* rows = PyTuple_GET_ITEM(item, 1);
  Py_ssize_t attr_count = PyTuple_GET_SIZE(attrs);
  spec.attr_names.resize(static_cast<size_t>(attr_count));
  spec.attr_keys.resize(static_cast<size_t>(attr_count));
  for (Py_ssize_t i = 0; i < attr_count; ++i) {
    if (!name_of(PyTuple_GET_ITEM(attrs, i), spec.attr_names[static_cast<size_t>(i)],
                 spec.attr_keys[static_cast<size_t>(i)])) {
      return false;
    }
  }
  Py_ssize_t row_count = PyList_GET_SIZE(rows);
  spec.rows.resize(static_cast<size_t>(row_count));
  for (Py_ssize_t r = 0; r < row_count; ++r) {
    // The list is the caller's own, made for this call: no code runs while
    // it is read.
    if (!read_row(PyList_GET_ITEM(rows, r), spec.rows[static_cast<size_t>(r)], plan_count)) {
      return false;
    }
  }
  return true;
}

}  // namespace

PyObject* plan_bind(PyObject*, PyObject* args) {
  unsigned long long address = 0;
  PyObject* error = nullptr;
  PyObject* message = nullptr;
  PyObject* plan_class = nullptr;
  if (!PyArg_ParseTuple(args, "KOUO!:plan_bind", &address, &error, &message, &PyType_Type,
                        &plan_class)) {
    return nullptr;
  }
  auto* table = reinterpret_cast<const korvith_plan_direct*>(static_cast<uintptr_t>(address));
  if (!table || table->size != sizeof(korvith_plan_direct)) {
    PyErr_SetString(PyExc_ImportError, "the engine's plan table has another layout");
    return nullptr;
  }
  if (!PyType_Check(error) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(error),
                                                reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
    PyErr_SetString(PyExc_TypeError, "error_class must be an exception class");
    return nullptr;
  }
  Ref accel(PyImport_ImportModule("korvith._korvithaccel"));
  if (!accel) return nullptr;
  Ref type(PyObject_GetAttrString(accel.get(), "Element"));
  if (!type) return nullptr;
  if (!PyType_Check(type.get())) {
    PyErr_SetString(PyExc_ImportError, "korvith._korvithaccel.Element is not a type");
    return nullptr;
  }
  // Bound once per process; a second bind (a reload) keeps the first
  // objects, which stay valid: the accelerator module is never unloaded.
  if (!engine) {
    element_type = reinterpret_cast<PyTypeObject*>(type.release());
    error_class = Py_NewRef(error);
    closed_message = Py_NewRef(message);
    plan_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(plan_class));
    engine = table;
  }
  Py_RETURN_NONE;
}

PyObject* plan_prepare(PyObject*, PyObject* args) {
  unsigned long long handle = 0;
  PyObject* plans = nullptr;
  PyObject* callback = nullptr;
  if (!PyArg_ParseTuple(args, "KO!O:plan_prepare", &handle, &PyList_Type, &plans, &callback)) {
    return nullptr;
  }
  if (!check_bound()) return nullptr;
  if (!handle || PyList_GET_SIZE(plans) == 0) {
    PyErr_SetString(PyExc_ValueError, "plan_prepare needs an engine plan and at least one plan");
    return nullptr;
  }
  if (!PyCallable_Check(callback)) {
    PyErr_SetString(PyExc_TypeError, "callback_type must be callable");
    return nullptr;
  }
  auto* plan = new (std::nothrow) DirectPlan();
  if (!plan) return PyErr_NoMemory();
  size_t count = static_cast<size_t>(PyList_GET_SIZE(plans));
  try {
    plan->plans.resize(count);
    for (size_t i = 0; i < count; ++i) {
      if (!read_record(PyList_GET_ITEM(plans, static_cast<Py_ssize_t>(i)), plan->plans[i], count)) {
        delete plan;
        return nullptr;
      }
    }
  } catch (const std::bad_alloc&) {
    delete plan;
    return PyErr_NoMemory();
  }
  plan->callback = Ref::borrow(callback);
  PyObject* capsule = PyCapsule_New(plan, kCapsuleName, capsule_destructor);
  if (!capsule) {
    delete plan;  // the engine plan stays the caller's
    return nullptr;
  }
  // From here on the capsule owns the engine plan.
  plan->engine_plan = reinterpret_cast<void*>(static_cast<uintptr_t>(handle));
  return capsule;
}

// The plan capsule of a korvith.Plan: `plan._compiled.direct`, compiling
// the plan on its first use (`plan.compiled()`). New reference.
PyObject* capsule_of(PyObject* plan) {
  if (!PyObject_TypeCheck(plan, plan_type)) {
    PyErr_Format(PyExc_TypeError, "plan must be a korvith.Plan, not %.200s",
                 Py_TYPE(plan)->tp_name);
    return nullptr;
  }
  static PyObject* const compiled_name = PyUnicode_InternFromString("_compiled");
  static PyObject* const compile_name = PyUnicode_InternFromString("compiled");
  static PyObject* const direct_name = PyUnicode_InternFromString("direct");
  if (!compiled_name || !compile_name || !direct_name) return nullptr;
  Ref compiled(PyObject_GetAttr(plan, compiled_name));
  if (!compiled) return nullptr;
  if (compiled.get() == Py_None) {
    compiled.reset(PyObject_CallMethodNoArgs(plan, compile_name));
    if (!compiled) return nullptr;
  }
  return PyObject_GetAttr(compiled.get(), direct_name);
}

// The element and plan arguments, given by position or by name.
static bool extract_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                              PyObject* out[2]) {
  static const char* const names[2] = {"element", "plan"};
  Py_ssize_t given = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  out[0] = out[1] = nullptr;
  if (nargs > 2) {
    PyErr_Format(PyExc_TypeError, "extract() takes 2 arguments (%zd given)", nargs + given);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  for (Py_ssize_t k = 0; k < given; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    int slot = -1;
    for (int n = 0; n < 2; ++n) {
      if (PyUnicode_EqualToUTF8(key, names[n])) slot = n;
    }
    if (slot < 0 || out[slot]) {
      PyErr_Format(PyExc_TypeError,
                   slot < 0 ? "extract() got an unexpected keyword argument %R"
                            : "extract() got multiple values for argument %R",
                   key);
      return false;
    }
    out[slot] = args[nargs + k];
  }
  for (int n = 0; n < 2; ++n) {
    if (!out[n]) {
      PyErr_Format(PyExc_TypeError, "extract() missing required argument '%s'", names[n]);
      return false;
    }
  }
  return true;
}

PyObject* plan_extract(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* given[2];
  if (!extract_arguments(args, nargs, kwnames, given)) return nullptr;
  if (!check_bound()) return nullptr;
  // Every argument is looked at first: reading the plan may run Python
  // code (compiling it on first use), which must happen before the
  // element's node is read.
  Ref capsule(capsule_of(given[1]));
  if (!capsule) return nullptr;
  DirectPlan* plan = plan_of(capsule.get());
  if (!plan) return nullptr;
  PyObject* element = given[0];
  if (!PyObject_TypeCheck(element, element_type)) {
    PyErr_Format(PyExc_TypeError, "element must be a live korvith Element, not %.200s",
                 Py_TYPE(element)->tp_name);
    return nullptr;
  }
  void* result = plan->take_result();
  if (!result) return PyErr_NoMemory();
  // From the liveness check to the end of the evaluation no Python code
  // runs and the interpreter stays held: closing the document (which
  // poisons the wrapper before freeing) cannot happen in between.
  // Without the interpreter lock (the free-threaded build) the element's
  // document is held in a critical section from the check to the end of the
  // evaluation: closing a document takes the same one.
  auto* wrapper = reinterpret_cast<AccelElement*>(element);
  PyObject* held = std::atomic_ref<PyObject*>(wrapper->document).load();
  Ref document(Py_NewRef(held ? held : Py_None));
  void* node = nullptr;
  Value root = nullptr;
  Py_BEGIN_CRITICAL_SECTION(document.get());
  node = std::atomic_ref<void*>(wrapper->raw).load();
  if (node != kPoison && node) root = engine->eval_into(plan->engine_plan, node, result);
  Py_END_CRITICAL_SECTION();
  if (node == kPoison || !node) {
    plan->give_back(result);
    if (node) {
      PyErr_SetObject(error_class, closed_message);
    } else {
      PyErr_SetString(PyExc_TypeError, "element must be a live korvith Element");
    }
    return nullptr;
  }
  if (!root) {
    plan->give_back(result);
    PyErr_SetString(error_class, "plan evaluation failed");
    return nullptr;
  }
  Walk walk{*plan};
  PyObject* out = record(walk, root, 0);
  plan->give_back(result);
  return out;
}

PyObject* plan_convert(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2 || !PyLong_Check(args[0])) {
    PyErr_SetString(PyExc_TypeError, "convert(root_address, plan) takes an int and a plan");
    return nullptr;
  }
  if (!check_bound()) return nullptr;
  DirectPlan* plan = plan_of(args[1]);
  if (!plan) return nullptr;
  void* root = PyLong_AsVoidPtr(args[0]);
  if (!root) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "root_address is null");
    return nullptr;
  }
  Walk walk{*plan};
  return record(walk, root, 0);
}

}  // namespace korvith::direct
