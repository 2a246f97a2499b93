// Serializer: Python values to the tagged wire dicts that cross to the add-in and back,
// as C++ loops over the containers and numpy arrays with no Python-level call per element.
#include "proxwire.h"

#include <datetime.h>
#include <pthread.h>
#include <pybind11/numpy.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

namespace proxwire {
namespace {

// Interned once and never freed, like the tags a Python module would hold as constants.
// clang-format off
#define WIRE_NAMES(X)                                                                          \
  X(type) X(value) X(isSpec) X(id) X(Null) X(Bool) X(Int) X(Float) X(String) X(Date) X(Bytes) \
  X(Array) X(Dict) X(Python_Function) X(Serializer) X(to_wire) X(from_wire) X(OfficeJsObject) \
  X(OfficeJsArray) X(OfficeJsDict) X(messaging) X(register_callable) X(_internal_typeName)    \
  X(_internal_id) X(extend) X(update) X(items) X(tzinfo) X(astimezone) X(isoformat)           \
  X(to_frame) X(columns) X(values) X(dtypes) X(tolist) X(astype) X(kind) X(to_numpy) X(dtype)
// clang-format on

struct Names {
#define DECLARE_NAME(name) PyObject *name;
  WIRE_NAMES(DECLARE_NAME)
#undef DECLARE_NAME
};
Names N;

// numpy and pandas objects only the serializer uses, looked up at initialisation and never
// freed.
struct ArrayTypes {
  PyObject *ndarray, *masked_array, *masked, *asarray, *datetime_data;
  PyObject *pd_index, *pd_extension_array;
};
ArrayTypes A;

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

// Every reference the conversions hold is an Owned: any call into Python may be where the
// interpreter's exit stops this thread.
Owned steal(PyObject *p) {
  if (p == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(p);
}

Owned borrow(PyObject *p) {
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
  ~DepthGuard() {
    // The count lives in this thread's state, which the interpreter's exit frees.
    if (stopped_at_exit()) park_forever();
    Py_LeaveRecursiveCall();
  }
  DepthGuard(const DepthGuard &) = delete;
  DepthGuard &operator=(const DepthGuard &) = delete;
};

Owned module_global(PyObject *name) {
  return steal(PyObject_GetAttr(state().module.ptr(), name));
}

Owned serializer_attr(PyObject *name) {
  return steal(PyObject_GetAttr(module_global(N.Serializer).ptr(), name));
}

bool attr_is_own(PyObject *name, PyObject *own) {
  return serializer_attr(name).ptr() == own;
}

Owned wire(PyObject *tag, PyObject *payload, PyObject *spec) {
  PyObject *d = _PyDict_NewPresized(3);
  if (d == nullptr) throw py::error_already_set();
  Owned result = steal(d);
  if (PyDict_SetItem(d, N.type, tag) < 0 || PyDict_SetItem(d, N.value, payload) < 0 ||
      PyDict_SetItem(d, N.isSpec, spec) < 0) {
    throw py::error_already_set();
  }
  return result;
}

Owned null_wire() {
  return wire(N.Null, Py_None, Py_False);
}

// Missing numbers travel as "Null": no cell holds NaN and no strict JSON channel carries it.
Owned float_wire(PyObject *number) {
  if (std::isnan(PyFloat_AS_DOUBLE(number))) return null_wire();
  return wire(N.Float, number, Py_False);
}

Owned double_wire(double x) {
  if (std::isnan(x)) return null_wire();
  Owned number = steal(PyFloat_FromDouble(x));
  return wire(N.Float, number.ptr(), Py_False);
}

// An exact str holding the text of `text`, whatever str subclass (or other object) it is.
Owned exact_text(Owned text) {
  if (PyUnicode_CheckExact(text.ptr())) return text;
  if (!PyUnicode_Check(text.ptr())) text = steal(PyObject_Str(text.ptr()));
  return steal(PyUnicode_FromObject(text.ptr()));
}

constexpr char B64_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

Owned b64encode_text(const unsigned char *data, Py_ssize_t size) {
  Py_ssize_t out_size = 4 * ((size + 2) / 3);
  Owned text = steal(PyUnicode_New(out_size, 127));
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

Owned bytes_wire(PyObject *value) {
  Owned text;
  if (PyByteArray_CheckExact(value)) {
    text = b64encode_text(reinterpret_cast<unsigned char *>(PyByteArray_AS_STRING(value)),
                          PyByteArray_GET_SIZE(value));
  } else {
    Owned raw =
        PyBytes_CheckExact(value)
            ? borrow(value)
            : steal(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyBytes_Type), value));
    text = b64encode_text(reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(raw.ptr())),
                          PyBytes_GET_SIZE(raw.ptr()));
  }
  return wire(N.Bytes, text.ptr(), Py_False);
}

// numpy's datetime units, numbered as numpy numbers them.
enum Unit : int {
  Y = 0,
  M = 1,
  W = 2,
  D = 4,
  h = 5,
  m = 6,
  s = 7,
  ms = 8,
  us = 9,
  ns = 10,
  ps = 11,
  fs = 12,
  as = 13,
  GENERIC = 14
};

// The layout numpy gives every datetime64 scalar (numpy/arrayscalars.h).
struct DatetimeScalar {
  PyObject_HEAD int64_t value;
  int unit;
  int count;
};

constexpr int64_t NAT = INT64_MIN;

using Wide = __int128;

Wide floor_div(Wide a, Wide b) {
  Wide q = a / b;
  return (a % b != 0 && a < 0) ? q - 1 : q;  // b is always positive here
}

void put_number(std::string &out, unsigned __int128 v, int width) {
  char digits[48];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + static_cast<int>(v % 10));
    v /= 10;
  } while (v != 0);
  while (n < width) digits[n++] = '0';
  while (n > 0) out += digits[--n];
}

// ISO 8601: four digits for years 1 to 9999, else the expanded form, a sign and at least six.
void put_year(std::string &out, Wide year) {
  if (year >= 1 && year <= 9999) {
    put_number(out, static_cast<unsigned __int128>(year), 4);
    return;
  }
  out += year < 0 ? '-' : '+';
  put_number(out, static_cast<unsigned __int128>(year < 0 ? -year : year), 6);
}

// Days since 1970-01-01 to the proleptic Gregorian date, by eras of 400 years (146097 days);
// 128 bits, since weeks near the end of numpy's range count more days than 64 bits hold.
void put_date(std::string &out, Wide days) {
  Wide z = days + 719468;
  Wide era = floor_div(z, 146097);
  auto doe = static_cast<unsigned>(z - era * 146097);
  unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  unsigned mp = (5 * doy + 2) / 153;
  unsigned day = doy - (153 * mp + 2) / 5 + 1;
  unsigned month = mp < 10 ? mp + 3 : mp - 9;
  put_year(out, era * 400 + yoe + (month <= 2 ? 1 : 0));
  out += '-';
  put_number(out, month, 2);
  out += '-';
  put_number(out, day, 2);
}

// The ISO 8601 text of `value` units of `count` x `unit` since 1970-01-01T00:00 (not NaT),
// exact over the whole int64 range of every unit; a fraction of as many digits as the unit
// has below the second. False for the generic unit, which counts nothing.
bool datetime64_iso(int64_t value, int unit, int64_t count, std::string &out) {
  const Wide total = static_cast<Wide>(value) * count;
  Wide seconds = 0, fraction = 0;
  int digits = 0;
  switch (unit) {
    case Y:
      put_year(out, 1970 + total);
      out += "-01-01T00:00:00";
      return true;
    case M: {
      Wide years = floor_div(total, 12);
      put_year(out, 1970 + years);
      out += '-';
      put_number(out, static_cast<unsigned __int128>(total - years * 12 + 1), 2);
      out += "-01T00:00:00";
      return true;
    }
    case W:
      seconds = total * 7 * 86400;
      break;
    case D:
      seconds = total * 86400;
      break;
    case h:
      seconds = total * 3600;
      break;
    case m:
      seconds = total * 60;
      break;
    case s:
      seconds = total;
      break;
    case ms:
    case us:
    case ns:
    case ps:
    case fs:
    case as: {
      digits = 3 * (unit - s);
      Wide per_second = 1;
      for (int i = 0; i < digits; ++i) per_second *= 10;
      seconds = floor_div(total, per_second);
      fraction = total - seconds * per_second;
      break;
    }
    default:
      return false;
  }
  Wide days = floor_div(seconds, 86400);
  auto in_day = static_cast<unsigned>(seconds - days * 86400);
  put_date(out, days);
  out += 'T';
  put_number(out, in_day / 3600, 2);
  out += ':';
  put_number(out, in_day / 60 % 60, 2);
  out += ':';
  put_number(out, in_day % 60, 2);
  if (digits > 0) {
    out += '.';
    put_number(out, static_cast<unsigned __int128>(fraction), digits);
  }
  return true;
}

Owned ascii_str(const std::string &text) {
  return steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// "Date" with the exact instant of a datetime64 value, "Null" for NaT.
Owned datetime64_wire(int64_t value, int unit, int64_t count, PyObject *scalar) {
  if (value == NAT) return null_wire();
  std::string text;
  if (!datetime64_iso(value, unit, count, text)) {
    if (scalar == nullptr) raise_error(PyExc_ValueError, "datetime64 value without a unit");
    return wire(N.Date, exact_text(steal(PyObject_Str(scalar))).ptr(), Py_False);
  }
  return wire(N.Date, ascii_str(text).ptr(), Py_False);
}

Owned date_wire(PyObject *value) {
  State &s = state();
  if (value == s.pd_nat.ptr()) return null_wire();
  if (is_instance(value, s.np_datetime64.ptr())) {
    const auto *scalar = reinterpret_cast<const DatetimeScalar *>(value);
    return datetime64_wire(scalar->value, scalar->unit, scalar->count, value);
  }
  Owned moment = borrow(value);
  if (is_instance(value, s.dt_datetime.ptr())) {
    Owned tz = steal(PyObject_GetAttr(value, N.tzinfo));
    if (truth(tz.ptr())) {
      moment = steal(PyObject_CallMethodOneArg(value, N.astimezone, PyDateTime_TimeZone_UTC));
    }
  }
  Owned text = exact_text(steal(PyObject_CallMethodNoArgs(moment.ptr(), N.isoformat)));
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
  Owned result = steal(r);
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
  Owned dtypes = steal(PyObject_GetAttr(frame, N.dtypes));
  Owned list = steal(PyObject_CallMethodNoArgs(dtypes.ptr(), N.tolist));
  if (!PyList_Check(list.ptr())) return false;
  Py_ssize_t n = PyList_GET_SIZE(list.ptr());
  if (n == 0) return true;
  PyObject *first = PyList_GET_ITEM(list.ptr(), 0);
  if (!PyObject_TypeCheck(first, reinterpret_cast<PyTypeObject *>(state().np_dtype.ptr()))) {
    return false;
  }
  Owned kind = steal(PyObject_GetAttr(first, N.kind));
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

Owned as_frame(PyObject *value) {
  if (is_instance(value, state().pd_series.ptr())) {
    return steal(PyObject_CallMethodNoArgs(value, N.to_frame));
  }
  return borrow(value);
}

Owned column_labels(PyObject *frame) {
  Owned columns = steal(PyObject_GetAttr(frame, N.columns));
  return steal(PyObject_CallMethodNoArgs(columns.ptr(), N.tolist));
}

// The header row of column labels, then the data rows with each cell's own type.
Owned frame_rows(PyObject *frame) {
  Owned header = column_labels(frame);
  // Mixed or date columns: one object block, so dates stay Timestamps and ints stay ints.
  Owned source = steal(
      PyObject_CallMethodOneArg(frame, N.astype, reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
  Owned values = steal(PyObject_GetAttr(source.ptr(), N.values));
  Owned data = steal(PyObject_CallMethodNoArgs(values.ptr(), N.tolist));
  Owned rows = steal(PyList_New(0));
  if (PyList_Append(rows.ptr(), header.ptr()) < 0 ||
      PyList_SetSlice(rows.ptr(), 1, 1, data.ptr()) < 0) {
    throw py::error_already_set();
  }
  return rows;
}

// Each element as a for loop over `seq` sees it; a list changed meanwhile stays safe.
template <typename F>
void for_each_element(PyObject *seq, F &&fn) {
  PyTypeObject *tp = Py_TYPE(seq);
  if (PyList_Check(seq) && tp->tp_iter == PyList_Type.tp_iter) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
      Owned item = borrow(PyList_GET_ITEM(seq, i));
      fn(item.ptr());
    }
  } else if (PyTuple_Check(seq) && tp->tp_iter == PyTuple_Type.tp_iter) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq); ++i) fn(PyTuple_GET_ITEM(seq, i));
  } else {
    Owned it = steal(PyObject_GetIter(seq));
    while (PyObject *item = PyIter_Next(it.ptr())) {
      Owned hold = steal(item);
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
      Owned key = borrow(k), value = borrow(v);
      fn(key.ptr(), value.ptr());
      if (PyDict_GET_SIZE(mapping) != size) {
        raise_error(PyExc_RuntimeError, "dictionary changed size during iteration");
      }
    }
    return;
  }
  Owned items = steal(PyObject_CallMethodNoArgs(mapping, N.items));
  for_each_element(items.ptr(), [&](PyObject *pair) {
    Owned kv = steal(PySequence_Tuple(pair));
    Py_ssize_t n = PyTuple_GET_SIZE(kv.ptr());
    if (n < 2) {
      PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
      throw py::error_already_set();
    }
    if (n > 2) raise_error(PyExc_ValueError, "too many values to unpack (expected 2)");
    fn(PyTuple_GET_ITEM(kv.ptr(), 0), PyTuple_GET_ITEM(kv.ptr(), 1));
  });
}

void append(PyObject *list, Owned item) {
  if (PyList_Append(list, item.ptr()) < 0) throw py::error_already_set();
}

void set_item(PyObject *dict, PyObject *key, Owned value) {
  if (PyDict_SetItem(dict, key, value.ptr()) < 0) throw py::error_already_set();
}

// How the cells of an exact ndarray are read in place; OTHER arrays go element by element
// through Python's iteration, as numpy scalars.
enum class Cells { BOOL, INT, UINT, FLOAT, DATE, OBJECT, OTHER };

Unit unit_named(PyObject *name) {
  static constexpr std::pair<const char *, Unit> UNITS[] = {
      {"Y", Y},   {"M", M},   {"W", W},   {"D", D},   {"h", h},   {"m", m},   {"s", s},
      {"ms", ms}, {"us", us}, {"ns", ns}, {"ps", ps}, {"fs", fs}, {"as", as},
  };
  if (PyUnicode_Check(name)) {
    for (const auto &[text, unit] : UNITS) {
      if (PyUnicode_CompareWithASCIIString(name, text) == 0) return unit;
    }
  }
  return GENERIC;
}

// An exact ndarray's memory as first seen, checked before every cell is read: user code that
// runs meanwhile (an element's __str__, a finaliser in a collection) may reshape, resize or
// retype the array, and its old memory is then gone.
class ArrayCells {
 public:
  explicit ArrayCells(PyObject *array) : array_(borrow(array)) {
    const auto *a = py::detail::array_proxy(array);
    const auto *d = py::detail::array_descriptor_proxy(a->descr);
    data_ = a->data;
    descr_ = a->descr;
    shape_.assign(a->dimensions, a->dimensions + a->nd);
    strides_.assign(a->strides, a->strides + a->nd);
    size_ = d->elsize;
    bool native = d->byteorder != '>';
    switch (d->kind) {
      case 'b':
        cells_ = size_ == 1 ? Cells::BOOL : Cells::OTHER;
        break;
      case 'i':
      case 'u':
        if (native && (size_ == 1 || size_ == 2 || size_ == 4 || size_ == 8)) {
          cells_ = d->kind == 'i' ? Cells::INT : Cells::UINT;
        }
        break;
      case 'f':
        if (native && (size_ == 2 || size_ == 4 || size_ == 8)) cells_ = Cells::FLOAT;
        break;
      case 'M':
        if (native && size_ == 8) cells_ = Cells::DATE;
        break;
      case 'O':
        cells_ = Cells::OBJECT;
        break;
      default:
        break;
    }
    if (cells_ == Cells::DATE) {
      // (unit, count), once per array.
      Owned meta = steal(PyObject_CallOneArg(A.datetime_data, a->descr));
      if (!PyTuple_Check(meta.ptr()) || PyTuple_GET_SIZE(meta.ptr()) != 2) {
        raise_error(PyExc_TypeError, "numpy.datetime_data gave no (unit, count) pair");
      }
      unit_ = unit_named(PyTuple_GET_ITEM(meta.ptr(), 0));
      count_ = PyLong_AsLongLong(PyTuple_GET_ITEM(meta.ptr(), 1));
      if (count_ == -1 && PyErr_Occurred()) throw py::error_already_set();
      if (unit_ == GENERIC) cells_ = Cells::OTHER;
    }
  }

  Cells cells() const { return cells_; }
  int ndim() const { return static_cast<int>(shape_.size()); }
  Py_ssize_t length(int dim) const { return shape_[static_cast<size_t>(dim)]; }
  Py_ssize_t stride(int dim) const { return strides_[static_cast<size_t>(dim)]; }

  // The cell at byte `offset`, after checking that the array is still as first seen.
  const char *at(Py_ssize_t offset) const {
    const auto *a = py::detail::array_proxy(array_.ptr());
    if (a->data != data_ || a->descr != descr_ || a->nd != ndim() ||
        !std::equal(shape_.begin(), shape_.end(), a->dimensions) ||
        !std::equal(strides_.begin(), strides_.end(), a->strides)) {
      raise_error(PyExc_RuntimeError, "array changed size during conversion");
    }
    return data_ + offset;
  }

  // The wire value of one numeric, date or empty-object cell; objects are the caller's.
  Owned cell(const char *p) const {
    switch (cells_) {
      case Cells::BOOL:
        return wire(N.Bool, *p != 0 ? Py_True : Py_False, Py_False);
      case Cells::INT: {
        long long v = read_signed(p);
        return wire(N.Int, steal(PyLong_FromLongLong(v)).ptr(), Py_False);
      }
      case Cells::UINT: {
        unsigned long long v = read_unsigned(p);
        return wire(N.Int, steal(PyLong_FromUnsignedLongLong(v)).ptr(), Py_False);
      }
      case Cells::FLOAT:
        return double_wire(read_float(p));
      case Cells::DATE:
        return datetime64_wire(load<int64_t>(p), unit_, count_, nullptr);
      default:
        raise_error(PyExc_SystemError, "no in-place reading for this array");
    }
  }

 private:
  // Array memory is not necessarily aligned for its dtype, so every cell is copied out.
  template <typename T>
  static T load(const char *p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }

  long long read_signed(const char *p) const {
    switch (size_) {
      case 1:
        return load<int8_t>(p);
      case 2:
        return load<int16_t>(p);
      case 4:
        return load<int32_t>(p);
      default:
        return load<int64_t>(p);
    }
  }

  unsigned long long read_unsigned(const char *p) const {
    switch (size_) {
      case 1:
        return load<uint8_t>(p);
      case 2:
        return load<uint16_t>(p);
      case 4:
        return load<uint32_t>(p);
      default:
        return load<uint64_t>(p);
    }
  }

  double read_float(const char *p) const {
    if (size_ == 8) return load<double>(p);
    if (size_ == 4) return load<float>(p);
    return PyFloat_Unpack2(p, 1);
  }

  Owned array_;  // held, so the memory checked in at() cannot be freed while it is read
  char *data_;
  PyObject *descr_;
  std::vector<Py_ssize_t> shape_, strides_;
  int size_;
  Cells cells_ = Cells::OTHER;
  int unit_ = GENERIC;
  int64_t count_ = 1;
};

class ToWire {
 public:
  explicit ToWire(bool fast) : fast_(fast) {}

  Owned convert(PyObject *value) {
    PyTypeObject *tp = Py_TYPE(value);
    if (value == Py_None) return null_wire();
    if (tp == &PyBool_Type) return wire(N.Bool, value, Py_False);
    if (tp == &PyLong_Type) return wire(N.Int, value, Py_False);
    if (tp == &PyFloat_Type) return float_wire(value);
    if (tp == &PyUnicode_Type) return wire(N.String, value, Py_False);
    if (tp == &PyList_Type) return array_wire(value);
    if (tp == &PyTuple_Type) return array_wire(value);
    if (tp == &PyDict_Type) return dict_wire(value);
    if (tp == reinterpret_cast<PyTypeObject *>(A.ndarray)) return ndarray_wire(value);
    return convert_other(value);
  }

  // An "Array" nested by dimension, each cell by the scalar rules; a 0-d array as its scalar.
  Owned ndarray_wire(PyObject *value) {
    DepthGuard depth;
    Owned array = borrow(value);
    if (Py_TYPE(value) != reinterpret_cast<PyTypeObject *>(A.ndarray)) {
      if (value == A.masked) return null_wire();
      // A masked array's own items give its masked cells as `masked`; other subclasses (a
      // matrix stays 2-D when iterated) go as the plain array of their data.
      if (!is_instance(value, A.masked_array)) {
        array = steal(PyObject_CallOneArg(A.asarray, value));
        if (Py_TYPE(array.ptr()) != reinterpret_cast<PyTypeObject *>(A.ndarray)) {
          raise_error(PyExc_TypeError, "numpy.asarray gave no ndarray");
        }
      }
    }
    if (py::detail::array_proxy(array.ptr())->nd == 0) {
      Owned no_index = steal(PyTuple_New(0));
      Owned item = steal(PyObject_GetItem(array.ptr(), no_index.ptr()));
      return child(item.ptr());
    }
    if (fast_ && Py_TYPE(array.ptr()) == reinterpret_cast<PyTypeObject *>(A.ndarray)) {
      ArrayCells cells(array.ptr());
      if (cells.cells() != Cells::OTHER) return dimension(cells, 0, 0);
    }
    return array_wire(array.ptr());
  }

 private:
  Owned child(PyObject *value) {
    if (fast_) return convert(value);
    Owned fn = serializer_attr(N.to_wire);
    return steal(PyObject_CallOneArg(fn.ptr(), value));
  }

  // One dimension of the array from byte `offset`: rows of the next dimension, or cells.
  Owned dimension(const ArrayCells &cells, int dim, Py_ssize_t offset) {
    const Py_ssize_t n = cells.length(dim), stride = cells.stride(dim);
    Owned items = steal(PyList_New(n));
    if (dim + 1 < cells.ndim()) {
      DepthGuard depth;
      for (Py_ssize_t i = 0; i < n; ++i) {
        Owned row = dimension(cells, dim + 1, offset + i * stride);
        PyList_SET_ITEM(items.ptr(), i, row.release().ptr());
      }
    } else if (cells.cells() == Cells::OBJECT) {
      for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *object;
        std::memcpy(&object, cells.at(offset + i * stride), sizeof object);
        Owned item = borrow(object != nullptr ? object : Py_None);
        Owned converted = convert(item.ptr());
        PyList_SET_ITEM(items.ptr(), i, converted.release().ptr());
      }
    } else {
      for (Py_ssize_t i = 0; i < n; ++i) {
        Owned cell = cells.cell(cells.at(offset + i * stride));
        PyList_SET_ITEM(items.ptr(), i, cell.release().ptr());
      }
    }
    return wire(N.Array, items.ptr(), Py_False);
  }

  Owned convert_other(PyObject *value) {
    State &s = state();
    if (is_instance(value, s.np_bool.ptr())) {
      return wire(N.Bool, truth(value) ? Py_True : Py_False, Py_False);
    }
    // numpy integer scalars are numbers too (timedelta64 derives from them but is no count).
    if (is_instance(value, reinterpret_cast<PyObject *>(&PyLong_Type)) ||
        (is_instance(value, s.np_integer.ptr()) && !is_instance(value, s.np_timedelta64.ptr()))) {
      Owned number = steal(PyNumber_Long(value));
      return wire(N.Int, number.ptr(), Py_False);
    }
    if (is_instance(value, reinterpret_cast<PyObject *>(&PyFloat_Type)) ||
        is_instance(value, s.np_floating.ptr())) {
      Owned number = steal(PyNumber_Float(value));
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
    if (is_instance(value, A.ndarray)) return ndarray_wire(value);
    // An index or a pandas extension array (categorical, nullable, dates with a zone) goes as
    // the array of its values.
    if (is_instance(value, A.pd_index) || is_instance(value, A.pd_extension_array)) {
      Owned values = steal(PyObject_CallMethodNoArgs(value, N.to_numpy));
      if (!is_instance(values.ptr(), A.ndarray)) {
        raise_error(PyExc_TypeError, "to_numpy() gave no numpy array");
      }
      return ndarray_wire(values.ptr());
    }
    // Any attribute probe on a proxy would be a request to the add-in.
    bool proxy = is_instance(value, module_global(N.OfficeJsObject).ptr());
    if (!proxy && is_missing(value)) return null_wire();
    if (is_instance(value, s.pd_series.ptr()) || is_instance(value, s.pd_dataframe.ptr())) {
      Owned frame = as_frame(value);
      if (fast_ && plain_numeric_frame(frame.ptr())) {
        // One native block: the header, then the block's rows read in place.
        Owned values = steal(PyObject_GetAttr(frame.ptr(), N.values));
        if (Py_TYPE(values.ptr()) == reinterpret_cast<PyTypeObject *>(A.ndarray) &&
            py::detail::array_proxy(values.ptr())->nd == 2) {
          ArrayCells cells(values.ptr());
          if (cells.cells() != Cells::OTHER && cells.cells() != Cells::OBJECT) {
            DepthGuard depth;
            Owned header = convert(column_labels(frame.ptr()).ptr());
            Owned rows = dimension(cells, 0, 0);
            PyObject *list = PyDict_GetItemWithError(rows.ptr(), N.value);
            if (list == nullptr || PyList_Insert(list, 0, header.ptr()) < 0) {
              throw py::error_already_set();
            }
            return rows;
          }
        }
      }
      return child(frame_rows(frame.ptr()).ptr());
    }
    if (proxy) {
      Owned type_name = steal(PyObject_GetAttr(value, N._internal_typeName));
      Owned object_id = steal(PyObject_GetAttr(value, N._internal_id));
      return wire(type_name.ptr(), object_id.ptr(), Py_True);
    }
    if (PyCallable_Check(value)) {
      Owned messaging = module_global(N.messaging);
      Owned callable_id =
          steal(PyObject_CallMethodOneArg(messaging.ptr(), N.register_callable, value));
      return wire(N.Python_Function, callable_id.ptr(), Py_True);
    }
    Owned text = steal(PyObject_Str(value));
    return wire(N.String, text.ptr(), Py_False);
  }

  Owned array_wire(PyObject *value) {
    DepthGuard depth;
    Owned out = steal(PyList_New(0));
    for_each_element(value, [&](PyObject *item) { append(out.ptr(), child(item)); });
    return wire(N.Array, out.ptr(), Py_False);
  }

  Owned dict_wire(PyObject *value) {
    DepthGuard depth;
    Owned out = steal(PyDict_New());
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
  ~Fields() {
    if (stopped_at_exit()) park_forever();  // held while conversions call into Python
    release();
  }
  Fields(const Fields &) = delete;
  Fields &operator=(const Fields &) = delete;

  PyObject *get(int i) const { return at[i] != nullptr ? at[i] : Py_None; }

 private:
  void release() {
    for (PyObject *&p : at) Py_CLEAR(p);
  }
};

// A module global as the serializer reads it; the module's own AttributeError when absent.
Owned serializer_global(PyObject *name) {
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
  Owned convert(PyObject *w) {
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
        Owned data = truth(v) ? borrow(v) : steal(PyBytes_FromStringAndSize(nullptr, 0));
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
      Owned object_id = steal(PyNumber_Long(v));
      Owned cls = serializer_global(N.OfficeJsObject);
      PyObject *args[] = {object_id.ptr(), t};
      return steal(PyObject_Vectorcall(cls.ptr(), args, 2, nullptr));
    }
    return steal(PyObject_Str(v));
  }

 private:
  Owned child(PyObject *x) {
    if (!fast_) {
      Owned fn = serializer_attr(N.from_wire);
      return steal(PyObject_CallOneArg(fn.ptr(), x));
    }
    if (Py_TYPE(x) != &PyDict_Type) require_exact(x, &PyDict_Type, "wire");
    return convert(x);
  }

  // [from_wire(x) for x in (v or [])], built at the payload's size when that is a list.
  Owned elements(PyObject *v) {
    if (!truth(v)) return steal(PyList_New(0));
    if (!PyList_Check(v) || Py_TYPE(v)->tp_iter != PyList_Type.tp_iter) {
      Owned items = steal(PyList_New(0));
      for_each_element(v, [&](PyObject *x) { append(items.ptr(), child(x)); });
      return items;
    }
    const Py_ssize_t n = PyList_GET_SIZE(v);
    Owned items = steal(PyList_New(n));
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
      Owned x = borrow(PyList_GET_ITEM(v, i));
      Owned item = child(x.ptr());
      if (filled < n) {
        PyList_SET_ITEM(items.ptr(), filled++, item.release().ptr());
      } else {
        append(items.ptr(), std::move(item));
      }
    }
    if (filled < n) Py_SET_SIZE(items.ptr(), filled);
    return items;
  }

  Owned array(PyObject *v, PyObject *obj_id) {
    Owned cls = serializer_global(N.OfficeJsArray);
    bool in_place = false;
    Owned arr = new_array(cls.ptr(), obj_id, &in_place);
    DepthGuard depth;
    Owned items = elements(v);
    if (in_place && base_fill(arr.ptr())) {
      extend_list(arr.ptr(), items.ptr());
    } else {
      steal(PyObject_CallMethodOneArg(arr.ptr(), N.extend, items.ptr()));
    }
    return arr;
  }

  Owned dict(PyObject *v, PyObject *obj_id) {
    Owned cls = serializer_global(N.OfficeJsDict);
    bool in_place = false;
    Owned d = new_dict(cls.ptr(), obj_id, &in_place);
    DepthGuard depth;
    Owned items = steal(PyDict_New());
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

PyObject *to_wire_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return entry([&] {
    PyObject *value;
    bind_args("to_wire", args, nargs, kwnames, {"value"}, 1, &value);
    return ToWire(attr_is_own(N.to_wire, own_to_wire)).convert(value);
  });
}

PyObject *from_wire_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return entry([&] {
    PyObject *w;
    bind_args("from_wire", args, nargs, kwnames, {"wire"}, 1, &w);
    require_exact(w, &PyDict_Type, "wire");
    return FromWire(attr_is_own(N.from_wire, own_from_wire)).convert(w);
  });
}

void intern_names() {
#define INTERN_NAME(name) N.name = intern(#name);
  WIRE_NAMES(INTERN_NAME)
#undef INTERN_NAME
}

void find_array_types() {
  auto keep = [](py::object o) { return o.release().ptr(); };
  py::module_ np = py::module_::import("numpy"), pd = py::module_::import("pandas");
  A.ndarray = keep(np.attr("ndarray"));
  A.masked_array = keep(np.attr("ma").attr("MaskedArray"));
  A.masked = keep(np.attr("ma").attr("masked"));
  A.asarray = keep(np.attr("asarray"));
  A.datetime_data = keep(np.attr("datetime_data"));
  A.pd_index = keep(pd.attr("Index"));
  A.pd_extension_array = keep(pd.attr("api").attr("extensions").attr("ExtensionArray"));
}

py::object static_method(const char *name, FastFunction fn, const char *doc, PyObject **own) {
  py::object fn_object = fast_function(name, fn, doc);
  *own = fn_object.inc_ref().ptr();  // kept for the identity test; the class may drop it
  return steal(PyStaticMethod_New(fn_object.ptr()));
}

}  // namespace

py::object to_wire(py::handle value) {
  Owned fn = serializer_attr(N.to_wire);
  if (fn.ptr() == own_to_wire) return ToWire(true).convert(value.ptr());
  return pyglue::steal(PyObject_CallOneArg(fn.ptr(), value.ptr()));
}

py::object from_wire(py::handle wire_value) {
  Owned fn = serializer_attr(N.from_wire);
  if (fn.ptr() == own_from_wire) {
    require_exact(wire_value, &PyDict_Type, "wire");
    return FromWire(true).convert(wire_value.ptr());
  }
  return pyglue::steal(PyObject_CallOneArg(fn.ptr(), wire_value.ptr()));
}

void init_serializer(py::module_ &m) {
  PyDateTime_IMPORT;
  if (PyDateTimeAPI == nullptr) throw py::error_already_set();
  intern_names();
  find_array_types();
  ClassBuilder cls("Serializer", "Handles marshaling of data types between Python and JavaScript.");
  cls.add("to_wire", static_method("to_wire", &to_wire_entry,
                                   "Serializer.to_wire(value: Any) -> Dict[str, Any]\n\n"
                                   "Serialize a Python value to wire format for transmission.",
                                   &own_to_wire));
  cls.add("from_wire", static_method("from_wire", &from_wire_entry,
                                     "Serializer.from_wire(dict wire: Dict[str, Any]) -> Any\n\n"
                                     "Deserialize a wire format value back to Python.",
                                     &own_from_wire));
  m.attr("Serializer") = cls.build(py::make_tuple());
}

}  // namespace proxwire
