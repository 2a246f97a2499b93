// Serializer: Python values to the tagged wire dicts that cross to the add-in and back,
// as C++ loops over the containers with no Python-level call per element.
#include "proxwire.h"

#include <datetime.h>
#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

namespace proxwire {
namespace {

// Interned once and never freed, like the tags a Python module would hold as constants.
// clang-format off
#define WIRE_NAMES(X)                                                                          \
  X(type) X(value) X(isSpec) X(id) X(Null) X(Bool) X(Int) X(Float) X(String) X(Date) X(Bytes) \
  X(Array) X(Dict) X(Python_Function) X(Serializer) X(to_wire) X(from_wire) X(OfficeJsObject) \
  X(OfficeJsArray) X(OfficeJsDict) X(messaging) X(register_callable) X(_internal_typeName)    \
  X(_internal_id) X(extend) X(update) X(items) X(tzinfo) X(astimezone) X(isoformat)           \
  X(to_frame) X(columns) X(values) X(dtypes) X(tolist) X(astype) X(kind) X(item)              \
  X(datetime_as_string) X(np)
// clang-format on

struct Names {
#define DECLARE_NAME(name) PyObject *name;
  WIRE_NAMES(DECLARE_NAME)
#undef DECLARE_NAME
  PyObject *datetime64_us;
};
Names N;

// The functions stored on the class; recursion stays in C++ while the class still holds them.
PyObject *own_to_wire = nullptr;
PyObject *own_from_wire = nullptr;

// The lowest stack address a conversion may reach on this thread; 0 until first asked.
thread_local uintptr_t stack_floor = 0;

uintptr_t find_stack_floor() {
  pthread_attr_t attr;
  void *low = nullptr;
  size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return 1;
  int rc = pthread_attr_getstack(&attr, &low, &size);
  pthread_attr_destroy(&attr);
  if (rc != 0 || low == nullptr) return 1;
  // Room for what runs below the deepest level: user __str__, pandas, the error itself.
  size_t reserve = std::min<size_t>(size / 4, 256 * 1024);
  return reinterpret_cast<uintptr_t>(low) + reserve;
}

py::object steal(PyObject *p) {
  if (p == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(p);
}

py::object borrow(PyObject *p) {
  return py::reinterpret_borrow<py::object>(p);
}

bool truth(PyObject *p) {
  int r = PyObject_IsTrue(p);
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

bool is_instance(PyObject *value, PyObject *cls) {
  int r = PyObject_IsInstance(value, cls);
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// One level of container nesting: counted as Python counts a call, and refused before
// this thread's stack runs out, whatever recursion limit the user has set.
class DepthGuard {
 public:
  DepthGuard() {
    if (Py_EnterRecursiveCall(" while converting a wire value")) throw py::error_already_set();
    if (stack_floor == 0) stack_floor = find_stack_floor();
    char here;
    if (reinterpret_cast<uintptr_t>(&here) < stack_floor) {
      Py_LeaveRecursiveCall();
      PyErr_SetString(PyExc_RecursionError,
                      "maximum recursion depth exceeded while converting a wire value");
      throw py::error_already_set();
    }
  }
  ~DepthGuard() { Py_LeaveRecursiveCall(); }
  DepthGuard(const DepthGuard &) = delete;
  DepthGuard &operator=(const DepthGuard &) = delete;
};

py::object module_global(PyObject *name) {
  return steal(PyObject_GetAttr(state().module.ptr(), name));
}

py::object serializer_attr(PyObject *name) {
  return steal(PyObject_GetAttr(module_global(N.Serializer).ptr(), name));
}

bool attr_is_own(PyObject *name, PyObject *own) {
  return serializer_attr(name).ptr() == own;
}

py::object wire(PyObject *tag, PyObject *payload, PyObject *spec) {
  PyObject *d = _PyDict_NewPresized(3);
  if (d == nullptr) throw py::error_already_set();
  py::object result = steal(d);
  if (PyDict_SetItem(d, N.type, tag) < 0 || PyDict_SetItem(d, N.value, payload) < 0 ||
      PyDict_SetItem(d, N.isSpec, spec) < 0) {
    throw py::error_already_set();
  }
  return result;
}

py::object null_wire() {
  return wire(N.Null, Py_None, Py_False);
}

// Missing numbers travel as "Null": no cell holds NaN and no strict JSON channel carries it.
py::object float_wire(PyObject *number) {
  if (std::isnan(PyFloat_AS_DOUBLE(number))) return null_wire();
  return wire(N.Float, number, Py_False);
}

constexpr char B64_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

py::object b64encode_text(const unsigned char *data, Py_ssize_t size) {
  Py_ssize_t out_size = 4 * ((size + 2) / 3);
  py::object text = steal(PyUnicode_New(out_size, 127));
  Py_UCS1 *out = PyUnicode_1BYTE_DATA(text.ptr());
  Py_ssize_t i = 0;
  for (; i + 2 < size; i += 3) {
    unsigned v = unsigned(data[i]) << 16 | unsigned(data[i + 1]) << 8 | data[i + 2];
    *out++ = Py_UCS1(B64_ALPHABET[v >> 18]);
    *out++ = Py_UCS1(B64_ALPHABET[(v >> 12) & 63]);
    *out++ = Py_UCS1(B64_ALPHABET[(v >> 6) & 63]);
    *out++ = Py_UCS1(B64_ALPHABET[v & 63]);
  }
  if (i < size) {
    unsigned v = unsigned(data[i]) << 16;
    if (i + 1 < size) v |= unsigned(data[i + 1]) << 8;
    *out++ = Py_UCS1(B64_ALPHABET[v >> 18]);
    *out++ = Py_UCS1(B64_ALPHABET[(v >> 12) & 63]);
    *out++ = i + 1 < size ? Py_UCS1(B64_ALPHABET[(v >> 6) & 63]) : Py_UCS1('=');
    *out++ = '=';
  }
  return text;
}

py::object bytes_wire(PyObject *value) {
  py::object text;
  if (PyByteArray_CheckExact(value)) {
    text = b64encode_text(reinterpret_cast<unsigned char *>(PyByteArray_AS_STRING(value)),
                          PyByteArray_GET_SIZE(value));
  } else {
    py::object raw =
        PyBytes_CheckExact(value)
            ? borrow(value)
            : steal(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyBytes_Type), value));
    text = b64encode_text(reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(raw.ptr())),
                          PyBytes_GET_SIZE(raw.ptr()));
  }
  return wire(N.Bytes, text.ptr(), Py_False);
}

// ISO text of a numpy datetime64 at its full precision; None for NaT.
py::object datetime64_text(PyObject *value) {
  State &s = state();
  PyObject *ts = PyObject_CallOneArg(s.pd_timestamp.ptr(), value);
  if (ts != nullptr) {
    py::object stamp = steal(ts);
    if (ts == s.pd_nat.ptr()) return py::none();
    return steal(PyObject_CallMethodNoArgs(ts, N.isoformat));
  }
  if (!PyErr_ExceptionMatches(s.pd_out_of_bounds.ptr())) throw py::error_already_set();
  PyErr_Clear();
  // Beyond the nanosecond range: microseconds still reach years 1 to 9999.
  py::object micro = steal(PyObject_CallMethodOneArg(value, N.astype, N.datetime64_us));
  py::object as_datetime = steal(PyObject_CallMethodNoArgs(micro.ptr(), N.item));
  if (PyDateTime_Check(as_datetime.ptr())) {
    return steal(PyObject_CallMethodNoArgs(as_datetime.ptr(), N.isoformat));
  }
  py::object np = module_global(N.np);
  py::object fn = steal(PyObject_GetAttr(np.ptr(), N.datetime_as_string));
  return steal(PyObject_CallOneArg(fn.ptr(), value));
}

py::object date_wire(PyObject *value) {
  State &s = state();
  if (value == s.pd_nat.ptr()) return null_wire();
  py::object text;
  if (is_instance(value, s.np_datetime64.ptr())) {
    text = datetime64_text(value);
    if (text.is_none()) return null_wire();
  } else {
    py::object moment = borrow(value);
    if (is_instance(value, s.dt_datetime.ptr())) {
      py::object tz = steal(PyObject_GetAttr(value, N.tzinfo));
      if (truth(tz.ptr())) {
        moment = steal(PyObject_CallMethodOneArg(value, N.astimezone, PyDateTime_TimeZone_UTC));
      }
    }
    text = steal(PyObject_CallMethodNoArgs(moment.ptr(), N.isoformat));
  }
  return wire(N.Date, text.ptr(), Py_False);
}

// pandas' notion of a missing scalar; an array answer or a failing test means "not missing".
bool is_missing(PyObject *value) {
  PyObject *r = PyObject_CallOneArg(state().pd_isna.ptr(), value);
  if (r == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
    PyErr_Clear();
    return false;
  }
  py::object result = steal(r);
  if (r == Py_True) return true;
  if (r == Py_False || !is_instance(r, state().np_bool.ptr())) return false;
  int t = PyObject_IsTrue(r);
  if (t < 0) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
    PyErr_Clear();
    return false;
  }
  return t == 1;
}

// One column type that .values keeps as Python bools, ints or floats per cell.
bool plain_numeric_frame(PyObject *frame) {
  py::object dtypes = steal(PyObject_GetAttr(frame, N.dtypes));
  py::object list = steal(PyObject_CallMethodNoArgs(dtypes.ptr(), N.tolist));
  if (!PyList_Check(list.ptr())) return false;
  Py_ssize_t n = PyList_GET_SIZE(list.ptr());
  if (n == 0) return true;
  PyObject *first = PyList_GET_ITEM(list.ptr(), 0);
  if (!PyObject_TypeCheck(first, reinterpret_cast<PyTypeObject *>(state().np_dtype.ptr()))) {
    return false;
  }
  py::object kind = steal(PyObject_GetAttr(first, N.kind));
  if (!PyUnicode_Check(kind.ptr()) || PyUnicode_GetLength(kind.ptr()) != 1) return false;
  Py_UCS4 k = PyUnicode_READ_CHAR(kind.ptr(), 0);
  if (k != 'b' && k != 'i' && k != 'u' && k != 'f') return false;
  for (Py_ssize_t i = 1; i < n; ++i) {
    PyObject *d = PyList_GET_ITEM(list.ptr(), i);
    if (d == first) continue;
    int same = PyObject_RichCompareBool(d, first, Py_EQ);
    if (same < 0) throw py::error_already_set();
    if (same == 0) return false;
  }
  return true;
}

py::object as_frame(PyObject *value) {
  if (is_instance(value, state().pd_series.ptr())) {
    return steal(PyObject_CallMethodNoArgs(value, N.to_frame));
  }
  return borrow(value);
}

py::object column_labels(PyObject *frame) {
  py::object columns = steal(PyObject_GetAttr(frame, N.columns));
  return steal(PyObject_CallMethodNoArgs(columns.ptr(), N.tolist));
}

// The header row of column labels, then the data rows with each cell's own type.
py::object frame_rows(PyObject *frame, bool plain) {
  py::object header = column_labels(frame);
  // Mixed or date columns: one object block, so dates stay Timestamps and ints stay ints.
  py::object source = plain
                          ? borrow(frame)
                          : steal(PyObject_CallMethodOneArg(
                                frame, N.astype, reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
  py::object values = steal(PyObject_GetAttr(source.ptr(), N.values));
  py::object data = steal(PyObject_CallMethodNoArgs(values.ptr(), N.tolist));
  py::object rows = steal(PyList_New(0));
  if (PyList_Append(rows.ptr(), header.ptr()) < 0 ||
      PyList_SetSlice(rows.ptr(), 1, 1, data.ptr()) < 0) {
    throw py::error_already_set();
  }
  return rows;
}

// The header wire and then the data rows of a frame whose values are one native float64
// block, read in place; None when the block is of another kind.
py::object float_block_rows(PyObject *frame, py::object header) {
  py::object values = steal(PyObject_GetAttr(frame, N.values));
  Py_buffer view;
  if (PyObject_GetBuffer(values.ptr(), &view, PyBUF_RECORDS_RO) < 0) {
    PyErr_Clear();
    return py::none();
  }
  std::string_view format(view.format != nullptr ? view.format : "B");
  if (view.ndim != 2 || view.itemsize != 8 || (format != "d" && format != "=d" && format != "@d")) {
    PyBuffer_Release(&view);
    return py::none();
  }
  Py_ssize_t n_rows = view.shape[0], n_cols = view.shape[1];
  const char *base = static_cast<const char *>(view.buf);
  try {
    py::object rows = steal(PyList_New(n_rows + 1));
    PyList_SET_ITEM(rows.ptr(), 0, header.release().ptr());
    for (Py_ssize_t r = 0; r < n_rows; ++r) {
      py::object cells = steal(PyList_New(n_cols));
      for (Py_ssize_t c = 0; c < n_cols; ++c) {
        double x;
        std::memcpy(&x, base + r * view.strides[0] + c * view.strides[1], sizeof x);
        py::object cell = std::isnan(x)
                              ? null_wire()
                              : wire(N.Float, steal(PyFloat_FromDouble(x)).ptr(), Py_False);
        PyList_SET_ITEM(cells.ptr(), c, cell.release().ptr());
      }
      py::object row = wire(N.Array, cells.ptr(), Py_False);
      PyList_SET_ITEM(rows.ptr(), r + 1, row.release().ptr());
    }
    PyBuffer_Release(&view);
    return rows;
  } catch (...) {
    PyBuffer_Release(&view);
    throw;
  }
}

// Each element as a for loop over `seq` sees it; a list changed meanwhile stays safe.
template <typename F>
void for_each_element(PyObject *seq, F &&fn) {
  PyTypeObject *tp = Py_TYPE(seq);
  if (PyList_Check(seq) && tp->tp_iter == PyList_Type.tp_iter) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
      py::object item = borrow(PyList_GET_ITEM(seq, i));
      fn(item.ptr());
    }
  } else if (PyTuple_Check(seq) && tp->tp_iter == PyTuple_Type.tp_iter) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq); ++i) fn(PyTuple_GET_ITEM(seq, i));
  } else {
    py::object it = steal(PyObject_GetIter(seq));
    while (PyObject *item = PyIter_Next(it.ptr())) {
      py::object hold = steal(item);
      fn(item);
    }
    if (PyErr_Occurred()) throw py::error_already_set();
  }
}

bool uses_dict_items(PyObject *mapping) {
  if (PyDict_CheckExact(mapping)) return true;
  if (!PyDict_Check(mapping)) return false;
  static PyObject *dict_items = _PyType_Lookup(&PyDict_Type, N.items);
  return _PyType_Lookup(Py_TYPE(mapping), N.items) == dict_items;
}

// Each key and value as `for k, v in mapping.items()` sees them.
template <typename F>
void for_each_item(PyObject *mapping, F &&fn) {
  if (uses_dict_items(mapping)) {
    Py_ssize_t pos = 0, size = PyDict_GET_SIZE(mapping);
    PyObject *k, *v;
    while (PyDict_Next(mapping, &pos, &k, &v)) {
      py::object key = borrow(k), value = borrow(v);
      fn(key.ptr(), value.ptr());
      if (PyDict_GET_SIZE(mapping) != size) {
        raise_error(PyExc_RuntimeError, "dictionary changed size during iteration");
      }
    }
    return;
  }
  py::object items = steal(PyObject_CallMethodNoArgs(mapping, N.items));
  for_each_element(items.ptr(), [&](PyObject *pair) {
    py::object kv = steal(PySequence_Tuple(pair));
    Py_ssize_t n = PyTuple_GET_SIZE(kv.ptr());
    if (n < 2) {
      PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
      throw py::error_already_set();
    }
    if (n > 2) raise_error(PyExc_ValueError, "too many values to unpack (expected 2)");
    fn(PyTuple_GET_ITEM(kv.ptr(), 0), PyTuple_GET_ITEM(kv.ptr(), 1));
  });
}

void append(PyObject *list, py::object item) {
  if (PyList_Append(list, item.ptr()) < 0) throw py::error_already_set();
}

void set_item(PyObject *dict, PyObject *key, py::object value) {
  if (PyDict_SetItem(dict, key, value.ptr()) < 0) throw py::error_already_set();
}

class ToWire {
 public:
  explicit ToWire(bool fast) : fast_(fast) {}

  py::object convert(PyObject *value) {
    PyTypeObject *tp = Py_TYPE(value);
    if (value == Py_None) return null_wire();
    if (tp == &PyBool_Type) return wire(N.Bool, value, Py_False);
    if (tp == &PyLong_Type) return wire(N.Int, value, Py_False);
    if (tp == &PyFloat_Type) return float_wire(value);
    if (tp == &PyUnicode_Type) return wire(N.String, value, Py_False);
    if (tp == &PyList_Type) return array_wire(value);
    if (tp == &PyTuple_Type) return array_wire(value);
    if (tp == &PyDict_Type) return dict_wire(value);
    return convert_other(value);
  }

 private:
  py::object child(PyObject *value) {
    if (fast_) return convert(value);
    py::object fn = serializer_attr(N.to_wire);
    return steal(PyObject_CallOneArg(fn.ptr(), value));
  }

  py::object convert_other(PyObject *value) {
    State &s = state();
    if (is_instance(value, s.np_bool.ptr())) {
      return wire(N.Bool, truth(value) ? Py_True : Py_False, Py_False);
    }
    // numpy integer scalars are numbers too (timedelta64 derives from them but is no count).
    if (is_instance(value, reinterpret_cast<PyObject *>(&PyLong_Type)) ||
        (is_instance(value, s.np_integer.ptr()) && !is_instance(value, s.np_timedelta64.ptr()))) {
      py::object number = steal(PyNumber_Long(value));
      return wire(N.Int, number.ptr(), Py_False);
    }
    if (is_instance(value, reinterpret_cast<PyObject *>(&PyFloat_Type)) ||
        is_instance(value, s.np_floating.ptr())) {
      py::object number = steal(PyNumber_Float(value));
      return float_wire(number.ptr());
    }
    if (is_instance(value, reinterpret_cast<PyObject *>(&PyUnicode_Type))) {
      return wire(N.String, value, Py_False);
    }
    if (is_instance(value, s.dt_datetime.ptr()) || is_instance(value, s.dt_date.ptr()) ||
        is_instance(value, s.pd_timestamp.ptr()) || is_instance(value, s.np_datetime64.ptr())) {
      return date_wire(value);
    }
    if (is_instance(value, reinterpret_cast<PyObject *>(&PyBytes_Type)) ||
        is_instance(value, reinterpret_cast<PyObject *>(&PyByteArray_Type)) ||
        is_instance(value, reinterpret_cast<PyObject *>(&PyMemoryView_Type))) {
      return bytes_wire(value);
    }
    if (is_instance(value, reinterpret_cast<PyObject *>(&PyList_Type)) ||
        is_instance(value, reinterpret_cast<PyObject *>(&PyTuple_Type))) {
      return array_wire(value);
    }
    if (is_instance(value, reinterpret_cast<PyObject *>(&PyDict_Type))) return dict_wire(value);
    // Any attribute probe on a proxy would be a request to the add-in.
    bool proxy = is_instance(value, module_global(N.OfficeJsObject).ptr());
    if (!proxy && is_missing(value)) return null_wire();
    if (is_instance(value, s.pd_series.ptr()) || is_instance(value, s.pd_dataframe.ptr())) {
      py::object frame = as_frame(value);
      bool plain = plain_numeric_frame(frame.ptr());
      if (fast_ && plain) {
        DepthGuard depth;
        py::object rows = float_block_rows(frame.ptr(), convert(column_labels(frame.ptr()).ptr()));
        if (!rows.is_none()) return wire(N.Array, rows.ptr(), Py_False);
      }
      return child(frame_rows(frame.ptr(), plain).ptr());
    }
    if (proxy) {
      py::object type_name = steal(PyObject_GetAttr(value, N._internal_typeName));
      py::object object_id = steal(PyObject_GetAttr(value, N._internal_id));
      return wire(type_name.ptr(), object_id.ptr(), Py_True);
    }
    if (PyCallable_Check(value)) {
      py::object messaging = module_global(N.messaging);
      py::object callable_id =
          steal(PyObject_CallMethodOneArg(messaging.ptr(), N.register_callable, value));
      return wire(N.Python_Function, callable_id.ptr(), Py_True);
    }
    py::object text = steal(PyObject_Str(value));
    return wire(N.String, text.ptr(), Py_False);
  }

  py::object array_wire(PyObject *value) {
    DepthGuard depth;
    py::object out = steal(PyList_New(0));
    for_each_element(value, [&](PyObject *item) { append(out.ptr(), child(item)); });
    return wire(N.Array, out.ptr(), Py_False);
  }

  py::object dict_wire(PyObject *value) {
    DepthGuard depth;
    py::object out = steal(PyDict_New());
    for_each_item(value, [&](PyObject *k, PyObject *v) { set_item(out.ptr(), k, child(v)); });
    return wire(N.Dict, out.ptr(), Py_False);
  }

  bool fast_;
};

enum class Tag { NONE, Null, Bool, Int, Float, String, Date, Bytes, Array, Dict };

// The characters of an ASCII str, or nullptr: every tag and field name is ASCII, so no other
// str equals one of them.
const char *ascii_text(PyObject *s, Py_ssize_t *size) {
  if (PyUnicode_READY(s) < 0) {
    PyErr_Clear();
    return nullptr;
  }
  if (!PyUnicode_IS_ASCII(s)) return nullptr;
  *size = PyUnicode_GET_LENGTH(s);
  return static_cast<const char *>(PyUnicode_DATA(s));
}

// `text`, whose length the caller has matched, is `name`.
template <size_t N>
bool same(const char *text, const char (&name)[N]) {
  return std::memcmp(text, name, N - 1) == 0;
}

Tag exact_tag(PyObject *t) {
  Py_ssize_t size = 0;
  const char *s = ascii_text(t, &size);
  if (s == nullptr) return Tag::NONE;
  switch (size) {
    case 3:
      if (same(s, "Int")) return Tag::Int;
      break;
    case 4:
      if (same(s, "Null")) return Tag::Null;
      if (same(s, "Bool")) return Tag::Bool;
      if (same(s, "Date")) return Tag::Date;
      if (same(s, "Dict")) return Tag::Dict;
      break;
    case 5:
      if (same(s, "Float")) return Tag::Float;
      if (same(s, "Bytes")) return Tag::Bytes;
      if (same(s, "Array")) return Tag::Array;
      break;
    case 6:
      if (same(s, "String")) return Tag::String;
      break;
    default:
      break;
  }
  return Tag::NONE;
}

// Equality in the tags' order, as a chain of == tests would run for any other object.
Tag compared_tag(PyObject *t) {
  const std::pair<PyObject *, Tag> order[] = {
      {N.Null, Tag::Null},   {N.Bool, Tag::Bool},     {N.Int, Tag::Int},
      {N.Float, Tag::Float}, {N.String, Tag::String}, {N.Date, Tag::Date},
      {N.Bytes, Tag::Bytes}, {N.Array, Tag::Array},   {N.Dict, Tag::Dict},
  };
  for (const auto &[tag, value] : order) {
    int eq = PyObject_RichCompareBool(t, tag, Py_EQ);
    if (eq < 0) throw py::error_already_set();
    if (eq == 1) return value;
  }
  return Tag::NONE;
}

// Which of "type", "value", "isSpec" and "id" an exact str key is, or -1.
int field_index(PyObject *key) {
  if (key == N.type) return 0;
  if (key == N.value) return 1;
  if (key == N.isSpec) return 2;
  if (key == N.id) return 3;
  Py_ssize_t size = 0;
  const char *s = ascii_text(key, &size);
  if (s == nullptr) return -1;
  switch (size) {
    case 2:
      return same(s, "id") ? 3 : -1;
    case 4:
      return same(s, "type") ? 0 : -1;
    case 5:
      return same(s, "value") ? 1 : -1;
    case 6:
      return same(s, "isSpec") ? 2 : -1;
    default:
      return -1;
  }
}

// "type", "value", "isSpec" and "id" of a wire dict as dict.get reads them: new references,
// nullptr where absent, held while conversions that may run user code look at them.
struct Fields {
  PyObject *at[4] = {nullptr, nullptr, nullptr, nullptr};

  explicit Fields(PyObject *w) {
    // A small dict with only str keys is read in one pass: for str keys equality is plain
    // text equality, so this finds what dict.get finds, and runs no Python code.
    if (PyDict_GET_SIZE(w) <= 8) {
      PyObject *found[4] = {nullptr, nullptr, nullptr, nullptr};
      Py_ssize_t pos = 0;
      PyObject *k, *v;
      bool plain = true;
      while (PyDict_Next(w, &pos, &k, &v)) {
        if (!PyUnicode_CheckExact(k)) {
          plain = false;
          break;
        }
        int i = field_index(k);
        if (i >= 0) found[i] = v;
      }
      if (plain) {
        for (int i = 0; i < 4; ++i) at[i] = Py_XNewRef(found[i]);
        return;
      }
    }
    // Other keys may compare by Python code, which may change the dict between two reads.
    PyObject *const names[4] = {N.type, N.value, N.isSpec, N.id};
    for (int i = 0; i < 4; ++i) {
      PyObject *v = PyDict_GetItemWithError(w, names[i]);
      if (v == nullptr && PyErr_Occurred()) {
        release();
        throw py::error_already_set();
      }
      at[i] = Py_XNewRef(v);
    }
  }
  ~Fields() { release(); }
  Fields(const Fields &) = delete;
  Fields &operator=(const Fields &) = delete;

  PyObject *get(int i) const { return at[i] != nullptr ? at[i] : Py_None; }

 private:
  void release() {
    for (PyObject *&p : at) Py_CLEAR(p);
  }
};

// A module global as the serializer reads it; the module's own AttributeError when absent.
py::object serializer_global(PyObject *name) {
  PyObject *value = PyDict_GetItemWithError(PyModule_GetDict(state().module.ptr()), name);
  if (value != nullptr) return borrow(value);
  if (PyErr_Occurred()) throw py::error_already_set();
  return module_global(name);
}

// arr.extend(items) where extend is list's own and `items` a list nothing else holds: into an
// empty array the items' storage simply moves over.
void extend_list(PyObject *arr, PyObject *items) {
  if (PyList_GET_SIZE(arr) == 0) {
    auto *to = reinterpret_cast<PyListObject *>(arr);
    auto *from = reinterpret_cast<PyListObject *>(items);
    std::swap(to->ob_item, from->ob_item);
    std::swap(to->allocated, from->allocated);
    Py_SET_SIZE(to, Py_SIZE(from));
    Py_SET_SIZE(from, 0);
    return;
  }
  if (PyList_SetSlice(arr, PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, items) < 0) {
    throw py::error_already_set();
  }
}

class FromWire {
 public:
  explicit FromWire(bool fast) : fast_(fast) {}

  // `wire` is an exact dict.
  py::object convert(PyObject *w) {
    Fields f(w);
    PyObject *t = f.get(0), *v = f.get(1);
    Tag tag = PyUnicode_CheckExact(t) ? exact_tag(t) : compared_tag(t);
    switch (tag) {
      case Tag::Null:
        return py::none();
      case Tag::Bool:
        return borrow(truth(v) ? Py_True : Py_False);
      case Tag::Int:
        return PyLong_CheckExact(v) ? borrow(v) : steal(PyNumber_Long(v));
      case Tag::Float:
        return PyFloat_CheckExact(v) ? borrow(v) : steal(PyNumber_Float(v));
      case Tag::String:
        return PyUnicode_CheckExact(v) ? borrow(v) : steal(PyObject_Str(v));
      case Tag::Date: {
        PyObject *r = PyObject_CallOneArg(state().fromisoformat.ptr(), v);
        if (r != nullptr) return steal(r);
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
        PyErr_Clear();
        return borrow(v);
      }
      case Tag::Bytes: {
        py::object data = truth(v) ? borrow(v) : py::bytes();
        return steal(PyObject_CallOneArg(state().b64decode.ptr(), data.ptr()));
      }
      case Tag::Array:
        return array(v, f.get(3));
      case Tag::Dict:
        return dict(v, f.get(3));
      case Tag::NONE:
        break;
    }
    if (truth(f.get(2))) {
      py::object object_id = steal(PyNumber_Long(v));
      py::object cls = serializer_global(N.OfficeJsObject);
      PyObject *args[] = {object_id.ptr(), t};
      return steal(PyObject_Vectorcall(cls.ptr(), args, 2, nullptr));
    }
    return steal(PyObject_Str(v));
  }

 private:
  py::object child(PyObject *x) {
    if (!fast_) {
      py::object fn = serializer_attr(N.from_wire);
      return steal(PyObject_CallOneArg(fn.ptr(), x));
    }
    if (Py_TYPE(x) != &PyDict_Type) require_exact(x, &PyDict_Type, "wire");
    return convert(x);
  }

  // [from_wire(x) for x in (v or [])], built at the payload's size when that is a list.
  py::object elements(PyObject *v) {
    if (!truth(v)) return steal(PyList_New(0));
    if (!PyList_Check(v) || Py_TYPE(v)->tp_iter != PyList_Type.tp_iter) {
      py::object items = steal(PyList_New(0));
      for_each_element(v, [&](PyObject *x) { append(items.ptr(), child(x)); });
      return items;
    }
    const Py_ssize_t n = PyList_GET_SIZE(v);
    py::object items = steal(PyList_New(n));
    Py_ssize_t filled = 0;
    // Read the size at each step, as a for loop does: user code in a conversion may resize v.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
      // Large answers outgrow the caches: fetch the wire dicts, then their tables, ahead.
      if (i + 16 < PyList_GET_SIZE(v)) __builtin_prefetch(PyList_GET_ITEM(v, i + 16));
      if (i + 8 < PyList_GET_SIZE(v)) {
        PyObject *ahead = PyList_GET_ITEM(v, i + 8);
        if (PyDict_CheckExact(ahead)) {
          const char *keys =
              reinterpret_cast<const char *>(reinterpret_cast<PyDictObject *>(ahead)->ma_keys);
          __builtin_prefetch(keys);
          __builtin_prefetch(keys + 64);
          __builtin_prefetch(keys + 127);
        }
      }
      py::object x = borrow(PyList_GET_ITEM(v, i));
      py::object item = child(x.ptr());
      if (filled < n) {
        PyList_SET_ITEM(items.ptr(), filled++, item.release().ptr());
      } else {
        append(items.ptr(), std::move(item));
      }
    }
    if (filled < n) Py_SET_SIZE(items.ptr(), filled);
    return items;
  }

  py::object array(PyObject *v, PyObject *obj_id) {
    py::object cls = serializer_global(N.OfficeJsArray);
    bool in_place = false;
    py::object arr = new_array(cls.ptr(), obj_id, &in_place);
    DepthGuard depth;
    py::object items = elements(v);
    if (in_place && base_fill(arr.ptr())) {
      extend_list(arr.ptr(), items.ptr());
    } else {
      steal(PyObject_CallMethodOneArg(arr.ptr(), N.extend, items.ptr()));
    }
    return arr;
  }

  py::object dict(PyObject *v, PyObject *obj_id) {
    py::object cls = serializer_global(N.OfficeJsDict);
    bool in_place = false;
    py::object d = new_dict(cls.ptr(), obj_id, &in_place);
    DepthGuard depth;
    py::object items = steal(PyDict_New());
    if (truth(v)) {
      for_each_item(v, [&](PyObject *k, PyObject *x) { set_item(items.ptr(), k, child(x)); });
    }
    if (in_place && base_fill(d.ptr())) {
      if (PyDict_Update(d.ptr(), items.ptr()) < 0) throw py::error_already_set();
    } else {
      steal(PyObject_CallMethodOneArg(d.ptr(), N.update, items.ptr()));
    }
    return d;
  }

  bool fast_;
};

// The one argument of a static method, by position or by keyword.
PyObject *single_argument(const char *func, const char *param, PyObject *const *args,
                          Py_ssize_t nargs, PyObject *kwnames) {
  Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  if (nargs + nkw == 1) {
    if (nargs == 1) return args[0];
    PyObject *name = PyTuple_GET_ITEM(kwnames, 0);
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, param) == 0) {
      return args[0];
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, name);
    return nullptr;
  }
  if (nargs + nkw == 0) {
    PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos 1)", func, param);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes exactly one argument (%zd given)", func, nargs + nkw);
  }
  return nullptr;
}

template <typename F>
PyObject *guarded(F &&body) {
  try {
    return body().release().ptr();
  } catch (py::error_already_set &e) {
    e.restore();
  } catch (py::builtin_exception &e) {
    e.set_error();
  } catch (const std::exception &e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  return nullptr;
}

PyObject *to_wire_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *value = single_argument("to_wire", "value", args, nargs, kwnames);
  if (value == nullptr) return nullptr;
  return guarded([&] { return ToWire(attr_is_own(N.to_wire, own_to_wire)).convert(value); });
}

PyObject *from_wire_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *w = single_argument("from_wire", "wire", args, nargs, kwnames);
  if (w == nullptr) return nullptr;
  return guarded([&] {
    require_exact(w, &PyDict_Type, "wire");
    return FromWire(attr_is_own(N.from_wire, own_from_wire)).convert(w);
  });
}

PyMethodDef to_wire_def = {
    "to_wire", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&to_wire_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "Serializer.to_wire(value: Any) -> Dict[str, Any]\n\n"
    "Serialize a Python value to wire format for transmission."};

PyMethodDef from_wire_def = {
    "from_wire", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&from_wire_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "Serializer.from_wire(dict wire: Dict[str, Any]) -> Any\n\n"
    "Deserialize a wire format value back to Python."};

PyObject *intern(const char *text) {
  PyObject *s = PyUnicode_InternFromString(text);
  if (s == nullptr) throw py::error_already_set();
  return s;
}

void intern_names() {
#define INTERN_NAME(name) N.name = intern(#name);
  WIRE_NAMES(INTERN_NAME)
#undef INTERN_NAME
  N.datetime64_us = intern("datetime64[us]");
}

py::object static_method(PyMethodDef *def, PyObject **own) {
  py::object fn = steal(PyCFunction_NewEx(def, nullptr, py::str(MODULE_NAME).ptr()));
  *own = fn.inc_ref().ptr();  // kept for the identity test; the class may drop it
  return steal(PyStaticMethod_New(fn.ptr()));
}

}  // namespace

py::object to_wire(py::handle value) {
  py::object fn = serializer_attr(N.to_wire);
  if (fn.ptr() == own_to_wire) return ToWire(true).convert(value.ptr());
  return steal(PyObject_CallOneArg(fn.ptr(), value.ptr()));
}

py::object from_wire(py::handle wire_value) {
  py::object fn = serializer_attr(N.from_wire);
  if (fn.ptr() == own_from_wire) {
    require_exact(wire_value, &PyDict_Type, "wire");
    return FromWire(true).convert(wire_value.ptr());
  }
  return steal(PyObject_CallOneArg(fn.ptr(), wire_value.ptr()));
}

void init_serializer(py::module_ &m) {
  PyDateTime_IMPORT;
  if (PyDateTimeAPI == nullptr) throw py::error_already_set();
  intern_names();
  ClassBuilder cls("Serializer", "Handles marshaling of data types between Python and JavaScript.");
  cls.add("to_wire", static_method(&to_wire_def, &own_to_wire));
  cls.add("from_wire", static_method(&from_wire_def, &own_from_wire));
  m.attr("Serializer") = cls.build(py::make_tuple());
}

}  // namespace proxwire
