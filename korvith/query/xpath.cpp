// XPath and XQuery evaluation entry points and the one routine that turns
// an engine result into a Python value.
//
// Every result handle the engine returns is released with
// `xpath_result_free` exactly once; namespace and variable sets made for a
// call are released before the call returns, on every path.
#include "../element/element.h"
#include "../module.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

namespace korvith {

namespace {

void* handle(unsigned long long address) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(address));
}

// Runs an engine release with any pending Python exception kept aside, so
// that a failure path reports its own error whatever the release does.
template <typename Release>
void release_keeping_error(Release release) {
  if (!PyErr_Occurred()) {
    release();
    return;
  }
  PyObject* pending = PyErr_GetRaisedException();
  release();
  PyErr_SetRaisedException(pending);
}

// Releases an engine set through its own release slot, once.
template <void (*FnTable::*Release)(void*)>
class EngineSet {
 public:
  EngineSet() noexcept = default;
  explicit EngineSet(void* set) noexcept : set_(set) {}
  EngineSet(const EngineSet&) = delete;
  EngineSet& operator=(const EngineSet&) = delete;
  EngineSet(EngineSet&& other) noexcept : set_(std::exchange(other.set_, nullptr)) {}
  EngineSet& operator=(EngineSet&& other) noexcept {
    reset();
    set_ = std::exchange(other.set_, nullptr);
    return *this;
  }
  ~EngineSet() { reset(); }
  void reset() noexcept {
    if (void* set = std::exchange(set_, nullptr)) {
      release_keeping_error([set] { (Fns.*Release)(set); });
    }
  }
  void* get() const noexcept { return set_; }
  explicit operator bool() const noexcept { return set_ != nullptr; }

 private:
  void* set_ = nullptr;
};

using NsSet = EngineSet<&FnTable::ns_set_free>;
using VariableSet = EngineSet<&FnTable::variable_set_free>;

// Releases an XPath result once, at the latest when leaving the scope.
class ResultHolder {
 public:
  explicit ResultHolder(void* result) noexcept : result_(result) {}
  ResultHolder(const ResultHolder&) = delete;
  ResultHolder& operator=(const ResultHolder&) = delete;
  ~ResultHolder() { release(); }
  void release() noexcept {
    if (void* result = std::exchange(result_, nullptr)) {
      release_keeping_error([result] { Fns.xpath_result_free(result); });
    }
  }

 private:
  void* result_;
};

PyObject* convert_nodeset(void* result, ResultHolder& holder, PyObject* document) {
  const size_t count = Fns.xpath_result_count(result);
  if (count == 0) {
    holder.release();
    return PyList_New(0);
  }
  if (count > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(void*)) {
    holder.release();
    return PyErr_NoMemory();
  }
  const auto n = static_cast<Py_ssize_t>(count);
  Ref list(PyList_New(n));
  if (!list) {
    holder.release();
    return nullptr;
  }
  MemBlock nodes(count * sizeof(void*));
  if (!nodes) {
    list.reset();
    holder.release();
    return PyErr_NoMemory();
  }
  void** buffer = nodes.as<void*>();
  const size_t copied = Fns.xpath_result_get_nodes(result, buffer, count);
  holder.release();
  if (copied != count) Py_RETURN_NONE;
  Registry* registry = registry_of(document);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* el = element_from_parts_reg(buffer[i], Py_None, document, registry);
    if (!el) return nullptr;
    PyList_SET_ITEM(list.get(), i, el);
  }
  return list.release();
}

// Decodes an owned engine string and releases it whether or not decoding
// succeeded.
PyObject* take_result_string(char* text) {
  if (!text) return PyUnicode_FromString("");
  PyObject* value =
      PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "strict");
  release_keeping_error([text] { Fns.free_string(text); });
  return value;
}

// An int argument as an engine handle. Non-ints are "absent" (null, true);
// an int outside the 64-bit range fails with OverflowError instead of
// quietly turning into some other handle.
bool optional_handle(PyObject* value, void** out) {
  *out = nullptr;
  if (!PyLong_Check(value)) return true;
  return address_from_int(value, out);
}

// Encodes a binding prefix or URI; null with the encoder's error set.
PyObject* encode_str(PyObject* value) { return PyUnicode_AsUTF8String(value); }

// Fills a new namespace set from a flat prefix, URI sequence. A trailing
// unpaired item is ignored.
enum class NsOutcome { kOk, kNoSet, kEncodeError, kRefused };

NsOutcome build_ns_set(PyObject* fast, NsSet& set) {
  set = NsSet(Fns.ns_set_new());
  if (!set) return NsOutcome::kNoSet;
  const Py_ssize_t length = PySequence_Fast_GET_SIZE(fast);
  PyObject** items = PySequence_Fast_ITEMS(fast);
  for (Py_ssize_t i = 0; i + 1 < length; i += 2) {
    Ref prefix(encode_str(items[i]));
    if (!prefix) return NsOutcome::kEncodeError;
    Ref uri(encode_str(items[i + 1]));
    if (!uri) return NsOutcome::kEncodeError;
    if (Fns.ns_set_add(set.get(), PyBytes_AS_STRING(prefix.get()), PyBytes_AS_STRING(uri.get())) !=
        0) {
      return NsOutcome::kRefused;
    }
  }
  return NsOutcome::kOk;
}

// Binds one name, tag, value triple; false when it cannot be bound (an
// exception may be pending and is replaced by the caller).
bool bind_variable(void* set, PyObject* name_obj, PyObject* tag_obj, PyObject* value) {
  Ref name(PyUnicode_Check(name_obj) ? PyUnicode_AsUTF8String(name_obj) : nullptr);
  if (!name) return false;
  const long tag = PyLong_AsLong(tag_obj);
  if (tag == -1 && PyErr_Occurred()) return false;
  const char* c_name = PyBytes_AS_STRING(name.get());
  switch (tag) {
    case KORVITH_VARIABLE_BOOLEAN:
      return Fns.variable_set_boolean(set, c_name, value == Py_True ? 1 : 0) == 0;
    case KORVITH_VARIABLE_NUMBER: {
      const double number = PyFloat_AsDouble(value);
      if (number == -1.0 && PyErr_Occurred()) return false;
      return Fns.variable_set_number(set, c_name, number) == 0;
    }
    case KORVITH_VARIABLE_STRING: {
      if (!PyUnicode_Check(value)) return false;
      Ref text(PyUnicode_AsUTF8String(value));
      if (!text) return false;
      return Fns.variable_set_string(set, c_name, PyBytes_AS_STRING(text.get())) == 0;
    }
    default: return false;
  }
}

// Builds the variable set of `vars_flat`: true with `set` empty for None or
// filled otherwise; false with an exception set and no set left behind.
bool build_variable_set(PyObject* vars_flat, VariableSet& set) {
  if (vars_flat == Py_None) return true;
  Ref fast(PySequence_Fast(vars_flat, "variables must be a sequence"));
  if (!fast) return false;
  const Py_ssize_t length = PySequence_Fast_GET_SIZE(fast.get());
  // An incomplete triple is a caller's mistake, not something to guess
  // around: refuse it before the engine sees anything.
  if (length % 3 != 0) {
    PyErr_SetString(PyExc_ValueError,
                    "variables must be a flat sequence of name, tag, value triples");
    return false;
  }
  VariableSet made(Fns.variable_set_new());
  if (!made) {
    raise_engine_error("could not create variable set");
    return false;
  }
  PyObject** items = PySequence_Fast_ITEMS(fast.get());
  for (Py_ssize_t i = 0; i < length; i += 3) {
    if (!bind_variable(made.get(), items[i], items[i + 1], items[i + 2])) {
      PyErr_Clear();
      raise_engine_error("could not bind variable");
      return false;
    }
  }
  set = std::move(made);
  return true;
}

}  // namespace

// Converts a result handle into a Python value; takes over the handle.
PyObject* finish_result(void* result, PyObject* document) {
  ResultHolder holder(result);
  const int type = Fns.xpath_result_type(result);
  switch (type) {
    case KORVITH_RESULT_NODESET: return convert_nodeset(result, holder, document);
    case KORVITH_RESULT_BOOLEAN: {
      const int value = Fns.xpath_result_boolean(result);
      holder.release();
      return PyBool_FromLong(value != 0);
    }
    case KORVITH_RESULT_NUMBER: {
      const double value = Fns.xpath_result_number(result);
      holder.release();
      return PyFloat_FromDouble(value);
    }
    case KORVITH_RESULT_STRING: {
      PyObject* value = take_result_string(Fns.xpath_result_string(result));
      holder.release();
      return value;
    }
    case KORVITH_RESULT_NONE: holder.release(); Py_RETURN_NONE;
    default: {
      holder.release();
      char message[64];
      std::snprintf(message, sizeof message, "unknown XPath result type %d", type);
      return raise_engine_error(message);
    }
  }
}

PyObject* accel_nodeset(PyObject*, PyObject* args) {
  PyObject* document_address = nullptr;
  PyObject* context_address = nullptr;
  PyObject* expression = nullptr;
  PyObject* document = nullptr;
  if (!PyArg_ParseTuple(args, "OOOO:nodeset", &document_address, &context_address, &expression,
                        &document)) {
    return nullptr;
  }
  if (!bound) Py_RETURN_NONE;
  Ref expr(PyUnicode_AsUTF8String(expression));
  if (!expr) return nullptr;
  void* context = nullptr;
  if (!optional_handle(context_address, &context)) return nullptr;
  if (!PyLong_Check(document_address)) Py_RETURN_NONE;
  void* doc = nullptr;
  if (!address_from_int(document_address, &doc)) return nullptr;
  void* result = Fns.xpath_eval(doc, context, PyBytes_AS_STRING(expr.get()));
  expr.reset();
  if (!result) Py_RETURN_NONE;
  return finish_result(result, document);
}

PyObject* accel_xquery_eval(PyObject*, PyObject* args) {
  unsigned long long query = 0;
  unsigned long long doc = 0;
  unsigned long long context = 0;
  PyObject* document = nullptr;
  if (!PyArg_ParseTuple(args, "KKKO:xquery_eval", &query, &doc, &context, &document)) {
    return nullptr;
  }
  if (!bound) Py_RETURN_NONE;
  void* result = Fns.xquery_eval(handle(query), handle(doc), handle(context));
  if (!result) Py_RETURN_NONE;
  return finish_result(result, document);
}

PyObject* accel_nodeset_ns(PyObject*, PyObject* args) {
  PyObject* document_address = nullptr;
  PyObject* context_address = nullptr;
  PyObject* expression = nullptr;
  PyObject* document = nullptr;
  PyObject* bindings = nullptr;
  if (!PyArg_ParseTuple(args, "OOOOO:nodeset_ns", &document_address, &context_address, &expression,
                        &document, &bindings)) {
    return nullptr;
  }
  if (!bound || !PyLong_Check(document_address)) Py_RETURN_NONE;
  void* context = nullptr;
  void* doc = nullptr;
  if (!optional_handle(context_address, &context) || !address_from_int(document_address, &doc)) {
    return nullptr;
  }
  NsSet ns_set;
  {
    Ref fast(PySequence_Fast(bindings, "bindings must be a sequence"));
    if (!fast) return nullptr;
    switch (build_ns_set(fast.get(), ns_set)) {
      case NsOutcome::kOk: break;
      case NsOutcome::kEncodeError:
        // A prefix or URI that is not a str is a programming error: report
        // it rather than answer as if nothing matched.
        return nullptr;
      case NsOutcome::kNoSet:
      case NsOutcome::kRefused: Py_RETURN_NONE;
    }
  }
  Ref expr(PyUnicode_AsUTF8String(expression));
  if (!expr) return nullptr;
  void* result = Fns.xpath_eval_ns(doc, context, PyBytes_AS_STRING(expr.get()), ns_set.get());
  expr.reset();
  ns_set.reset();
  if (!result) Py_RETURN_NONE;
  return finish_result(result, document);
}

PyObject* accel_nodeset_vars(PyObject*, PyObject* args) {
  PyObject* document_address = nullptr;
  PyObject* context_address = nullptr;
  PyObject* expression = nullptr;
  PyObject* document = nullptr;
  PyObject* vars_flat = nullptr;
  if (!PyArg_ParseTuple(args, "OOOOO:nodeset_vars", &document_address, &context_address,
                        &expression, &document, &vars_flat)) {
    return nullptr;
  }
  if (!bound || !PyLong_Check(document_address)) Py_RETURN_NONE;
  Ref expr(PyUnicode_AsUTF8String(expression));
  if (!expr) return nullptr;
  void* context = nullptr;
  void* doc = nullptr;
  if (!optional_handle(context_address, &context) || !address_from_int(document_address, &doc)) {
    return nullptr;
  }
  VariableSet variables;
  if (!build_variable_set(vars_flat, variables)) return nullptr;
  void* result =
      Fns.xpath_eval_vars_ctx(doc, context, PyBytes_AS_STRING(expr.get()), variables.get());
  expr.reset();
  variables.reset();
  if (!result) Py_RETURN_NONE;
  return finish_result(result, document);
}

PyObject* accel_compiled_eval(PyObject*, PyObject* args) {
  unsigned long long compiled_address = 0;
  unsigned long long document_address = 0;
  unsigned long long context_address = 0;
  PyObject* document = nullptr;
  PyObject* bindings = nullptr;
  PyObject* vars_flat = nullptr;
  if (!PyArg_ParseTuple(args, "KKKOOO:compiled_eval", &compiled_address, &document_address,
                        &context_address, &document, &bindings, &vars_flat)) {
    return nullptr;
  }
  if (!bound) Py_RETURN_NONE;
  void* compiled = handle(compiled_address);
  void* doc = handle(document_address);
  void* context = handle(context_address);
  VariableSet variables;
  if (!build_variable_set(vars_flat, variables)) return nullptr;

  void* result = nullptr;
  if (bindings == Py_None) {
    result = variables ? Fns.xpath_compiled_eval_vars(compiled, doc, context, variables.get())
                       : Fns.xpath_compiled_eval(compiled, doc, context);
    variables.reset();
  } else {
    Ref fast(PySequence_Fast(bindings, "bindings must be a sequence"));
    if (!fast) return nullptr;
    NsSet ns_set;
    switch (build_ns_set(fast.get(), ns_set)) {
      case NsOutcome::kOk: break;
      case NsOutcome::kEncodeError: return nullptr;
      case NsOutcome::kNoSet: Py_RETURN_NONE;
      case NsOutcome::kRefused: return raise_engine_error("invalid namespace binding");
    }
    result = variables ? Fns.xpath_compiled_eval_ns_vars(compiled, doc, context, ns_set.get(),
                                                         variables.get())
                       : Fns.xpath_compiled_eval_ns(compiled, doc, context, ns_set.get());
    variables.reset();
    fast.reset();
    ns_set.reset();
  }
  if (!result) Py_RETURN_NONE;
  return finish_result(result, document);
}

}  // namespace korvith
