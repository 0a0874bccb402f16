// DecodedValue: one decoded item. This is the hot path of every decode: a
// fixed-size object outside the garbage collector (it holds only str
// references, so no cycle can form), with names and meanings shared between
// all values of one call.
//
// A call makes its objects in chunks of up to kChunkValues, one raw
// allocation each, rather than one by one: a result's objects are made and
// usually freed together, and the object allocator would otherwise spend more
// time per value than the decoder itself (and map and unmap its arenas on
// every large call). A chunk is given back when its last object dies, so a
// value kept from a large result keeps its whole chunk, as a small object
// keeps its allocator pool; the chunk size is chosen to match that pool.
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "../descriptor.hpp"
#include "../text.hpp"
#include "classes.hpp"

namespace tarvane {

namespace {

constexpr uint8_t kHasValue = 1;
constexpr uint8_t kHasRaw = 2;

struct ValueObject {
  PyObject_HEAD
  PyObject* name;
  PyObject* raw_text;     // or nullptr
  PyObject* raw_meaning;  // or nullptr
  double value;
  uint64_t raw;
  uint32_t descriptor;
  // kHasValue and kHasRaw in the low byte, the object's place in its chunk
  // (which leads back to the chunk header) above.
  uint32_t tag;
};

uint32_t flags_of(const ValueObject* v) { return v->tag & 0xFF; }
size_t slot_of(const ValueObject* v) { return v->tag >> 8; }

// The object stays at 64 bytes: the chunk is found without a pointer field.
static_assert(sizeof(ValueObject) == 64);

// A chunk holds the one type reference that all its objects share (a heap
// type must outlive its instances) and the count of its objects still alive.
// The objects follow the header.
struct Chunk {
  union {
    PyTypeObject* type;  // while in use
    Chunk* next_spare;   // while in the reserve
  };
  uint32_t live;
  uint32_t capacity;
};
static_assert(sizeof(Chunk) % alignof(ValueObject) == 0);

constexpr size_t kChunkValues = 256;  // 16 KiB, the object allocator's pool size
static_assert(kChunkValues < (1u << 24));
constexpr size_t kFullChunkBytes = sizeof(Chunk) + kChunkValues * sizeof(ValueObject);

// Freed full chunks kept for the next call, at most kReserveChunks (32 MiB).
// Without it every large result's memory would go back to the system when
// the result dies and be faulted in afresh, page by page, by the next call,
// which costs far more than building the objects. A chunk in the reserve is
// free memory as far as tracemalloc is concerned: it is untracked when it
// enters and tracked again when it is reused. The GIL guards the reserve
// (the module refuses sub-interpreters).
constexpr size_t kReserveChunks = 2048;
Chunk* reserve_head = nullptr;
size_t reserve_count = 0;

// A call of kMappedCallValues values or more maps its chunks, of
// kMappedChunkValues objects each (256 KiB), from the system and unmaps each
// with its last object, so that its memory goes back to the system when the
// result dies. From the C library's heap it would not: the reserve's chunks,
// taken from the end of the dying list, sit above the freed space and keep
// the heap from shrinking, and the next large block (the next result list's
// item array) is placed in that space. Smaller results stay in the heap,
// where the next call reuses their pages without faulting them in again:
// what the heap keeps after them is bounded by their size (64 MiB at most).
constexpr size_t kMappedCallValues = size_t{1} << 20;
constexpr size_t kMappedChunkValues = ((size_t{256} << 10) - sizeof(Chunk)) / sizeof(ValueObject);
static_assert(kMappedChunkValues < (1u << 24));
constexpr uint32_t kMappedFlag = uint32_t{1} << 31;  // in Chunk::capacity

// tracemalloc's domain for the interpreter's own allocators, PyMem_RawMalloc
// included.
constexpr unsigned int kPyMemDomain = 0;

}  // namespace

// CPython 3.12's tracemalloc.h declares these without C linkage, so C++ would
// look for mangled names; bind C declarations to the real symbols instead.
extern "C" int trace_track(unsigned int domain, uintptr_t ptr, size_t size) __asm__("PyTraceMalloc_Track");
extern "C" int trace_untrack(unsigned int domain, uintptr_t ptr) __asm__("PyTraceMalloc_Untrack");

namespace {

size_t mapped_bytes(size_t count) {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return (sizeof(Chunk) + count * sizeof(ValueObject) + page - 1) / page * page;
}

// A chunk for count objects (count <= kChunkValues, or kMappedChunkValues
// when mapped), all counted as alive, with its type reference; or nullptr
// with MemoryError.
Chunk* new_chunk(PyTypeObject* type, size_t count, bool mapped) {
  Chunk* chunk = nullptr;
  if (mapped) {
    void* block = mmap(nullptr, mapped_bytes(count), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) {
      PyErr_NoMemory();
      return nullptr;
    }
    chunk = static_cast<Chunk*>(block);
    trace_track(kPyMemDomain, reinterpret_cast<uintptr_t>(chunk), mapped_bytes(count));
  } else if (count == kChunkValues && reserve_head) {
    chunk = reserve_head;
    reserve_head = chunk->next_spare;
    --reserve_count;
    trace_track(kPyMemDomain, reinterpret_cast<uintptr_t>(chunk), kFullChunkBytes);
  } else {
    chunk = static_cast<Chunk*>(PyMem_RawMalloc(sizeof(Chunk) + count * sizeof(ValueObject)));
    if (!chunk) {
      PyErr_NoMemory();
      return nullptr;
    }
  }
  Py_INCREF(type);
  chunk->type = type;
  chunk->live = static_cast<uint32_t>(count);
  chunk->capacity = static_cast<uint32_t>(count) | (mapped ? kMappedFlag : 0);
  return chunk;
}

void free_chunk(Chunk* chunk) {
  PyTypeObject* type = chunk->type;
  if (chunk->capacity & kMappedFlag) {
    trace_untrack(kPyMemDomain, reinterpret_cast<uintptr_t>(chunk));
    munmap(chunk, mapped_bytes(chunk->capacity & ~kMappedFlag));
  } else if (chunk->capacity == kChunkValues && reserve_count < kReserveChunks) {
    trace_untrack(kPyMemDomain, reinterpret_cast<uintptr_t>(chunk));
    chunk->next_spare = reserve_head;
    reserve_head = chunk;
    ++reserve_count;
  } else {
    PyMem_RawFree(chunk);
  }
  Py_DECREF(type);
}

ValueObject* as_value(PyObject* obj) { return reinterpret_cast<ValueObject*>(obj); }

ValueObject* chunk_objects(Chunk* chunk) { return reinterpret_cast<ValueObject*>(chunk + 1); }

Chunk* chunk_of(ValueObject* v) { return reinterpret_cast<Chunk*>(v - slot_of(v)) - 1; }

// The type's tp_free: gives the object's place back to its chunk.
void release_value(void* obj) {
  Chunk* chunk = chunk_of(static_cast<ValueObject*>(obj));
  if (--chunk->live == 0) free_chunk(chunk);
}

// Hands out the objects of one call, chunk by chunk. A chunk is allocated
// only when its first object is about to be made and counts all its places
// as alive; the allocator's end takes back the places never used, so every
// chunk is freed with its last object, whether the list is returned or
// dropped after a failure. No object may die before the allocator ends.
class ChunkAllocator {
 public:
  // values: the number of objects of the call.
  ChunkAllocator(PyTypeObject* type, size_t values) : type_(type), mapped_(values >= kMappedCallValues) {}
  ~ChunkAllocator() {
    if (chunk_ && (chunk_->live -= static_cast<uint32_t>(capacity_ - used_)) == 0) free_chunk(chunk_);
  }
  ChunkAllocator(const ChunkAllocator&) = delete;
  ChunkAllocator& operator=(const ChunkAllocator&) = delete;

  // Uninitialised storage for the next object and its tag (place and
  // flags), or nullptr with MemoryError; remaining (at least 1) sizes a new
  // chunk.
  ValueObject* next(size_t remaining, uint32_t flags) {
    if (used_ == capacity_ && !start_chunk(remaining)) return nullptr;
    ValueObject* v = chunk_objects(chunk_) + used_;
    v->tag = static_cast<uint32_t>(used_ << 8) | flags;
    ++used_;
    return v;
  }

 private:
  [[gnu::noinline]] bool start_chunk(size_t remaining) {
    const size_t most = mapped_ ? kMappedChunkValues : kChunkValues;
    size_t count = remaining < most ? remaining : most;
    Chunk* chunk = new_chunk(type_, count, mapped_);
    if (!chunk) return false;
    chunk_ = chunk;
    used_ = 0;
    capacity_ = count;
    return true;
  }

  PyTypeObject* type_;
  bool mapped_;
  Chunk* chunk_ = nullptr;
  size_t used_ = 0;
  size_t capacity_ = 0;
};

// A new str of text. Names, meanings and decoded texts are nearly always
// ASCII, which is copied straight into a new str; anything else takes the
// general UTF-8 path (invalid bytes become U+FFFD).
bool is_ascii(std::string_view text) {
  const char* p = text.data();
  size_t n = text.size();
  uint64_t high = 0;
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    high |= word;
  }
  for (; n > 0; ++p, --n) high |= static_cast<unsigned char>(*p);
  return (high & 0x8080808080808080ull) == 0;
}

PyObject* new_str(std::string_view text) {
  if (!is_ascii(text)) return text_to_py(text);
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
  if (str) std::memcpy(PyUnicode_DATA(str), text.data(), text.size());
  return str;
}

}  // namespace

// One str per distinct text, keyed by where the text lives (the element name
// or code-table meaning inside the TableSet, or a static word): the same
// address and length hold the same text for as long as the TableSet lives
// unchanged, which a TableSet object does. Decoded data repeats a few hundred
// texts over and over, so a small direct-mapped table of recent hits sits in
// front of the full map.
class StrCache {
 public:
  StrCache() : slots_(128) {}
  ~StrCache() {
    for (Slot& s : slots_) Py_XDECREF(s.str);
  }
  StrCache(const StrCache&) = delete;
  StrCache& operator=(const StrCache&) = delete;

  // A borrowed reference, or nullptr with an exception set.
  PyObject* get(std::string_view text) {
    Slot& recent = recent_[hash(text.data()) >> (64 - kRecentBits)];
    if (recent.data == text.data() && recent.size == text.size()) [[likely]]
      return recent.str;
    return refill(recent, text);
  }

 private:
  struct Slot {
    const char* data = nullptr;
    size_t size = 0;
    PyObject* str = nullptr;
  };

  // A satellite message names a few hundred elements; at 1024 slots few of
  // them share one. The table lives with the TableSet, so its size costs no
  // call anything.
  static constexpr unsigned kRecentBits = 10;

  static uint64_t hash(const char* p) { return (reinterpret_cast<uintptr_t>(p) >> 3) * 0x9E3779B97F4A7C15ull; }

  [[gnu::noinline]] PyObject* refill(Slot& recent, std::string_view text) {
    PyObject* str = find_or_add(text);
    if (str) recent = {text.data(), text.size(), str};
    return str;
  }

  PyObject* find_or_add(std::string_view text) {
    size_t mask = slots_.size() - 1;
    size_t i = (hash(text.data()) >> 20) & mask;
    while (slots_[i].str) {
      if (slots_[i].data == text.data() && slots_[i].size == text.size()) return slots_[i].str;
      i = (i + 1) & mask;
    }
    PyObject* str = new_str(text);
    if (!str) return nullptr;
    slots_[i] = {text.data(), text.size(), str};
    if (++used_ * 2 > slots_.size()) grow();
    return str;
  }

  void grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
      if (!s.str) continue;
      size_t i = (hash(s.data) >> 20) & mask;
      while (slots_[i].str) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }

  std::vector<Slot> slots_;
  size_t used_ = 0;
  std::array<Slot, size_t{1} << kRecentBits> recent_{};  // borrowed from slots_
};

StrCache* new_str_cache() {
  StrCache* strs = new (std::nothrow) StrCache;
  if (!strs) PyErr_NoMemory();
  return strs;
}

void delete_str_cache(StrCache* strs) { delete strs; }

namespace {

// Shortest round-trip decimal: "1.0", "-0.0", "273.15", and exponent form
// ("1e16", "2.5e-5") at or above 1e16 and below 1e-4.
std::string float_text(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  char buf[64];
  auto written = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view s(buf, static_cast<size_t>(written.ptr - buf));
  std::string out;
  if (s.front() == '-') {
    out = "-";
    s.remove_prefix(1);
  }
  size_t e = s.find('e');
  std::string digits;
  for (char c : s.substr(0, e))
    if (c != '.') digits += c;
  std::string_view exp_text = s.substr(e + 1);
  if (exp_text.front() == '+') exp_text.remove_prefix(1);
  int exp = 0;
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exp);
  double mag = std::fabs(v);
  if (mag != 0.0 && (mag >= 1e16 || mag < 1e-4)) {
    out += digits[0];
    if (digits.size() > 1) out.append(".").append(digits, 1);
    return out.append("e").append(std::to_string(exp));
  }
  if (exp < 0) return out.append("0.").append(static_cast<size_t>(-exp - 1), '0').append(digits);
  size_t int_digits = static_cast<size_t>(exp) + 1;
  if (digits.size() <= int_digits) return out.append(digits).append(int_digits - digits.size(), '0').append(".0");
  return out.append(digits, 0, int_digits).append(".").append(digits, int_digits);
}

PyObject* new_ref_or_none(PyObject* obj) { return Py_NewRef(obj ? obj : Py_None); }

PyObject* get_descriptor(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_value(self)->descriptor); }
PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_value(self)->name); }
PyObject* get_raw_text(PyObject* self, void*) { return new_ref_or_none(as_value(self)->raw_text); }
PyObject* get_raw_meaning(PyObject* self, void*) { return new_ref_or_none(as_value(self)->raw_meaning); }

PyObject* get_raw_value(PyObject* self, void*) {
  ValueObject* v = as_value(self);
  if (!(flags_of(v) & kHasValue)) Py_RETURN_NONE;
  return PyFloat_FromDouble(v->value);
}

PyObject* get_raw(PyObject* self, void*) {
  ValueObject* v = as_value(self);
  if (!(flags_of(v) & kHasRaw)) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(v->raw);
}

// The text, else the meaning, else the number; never raw.
PyObject* get_data(PyObject* self, void*) {
  ValueObject* v = as_value(self);
  if (v->raw_text) return Py_NewRef(v->raw_text);
  if (v->raw_meaning) return Py_NewRef(v->raw_meaning);
  return get_raw_value(self, nullptr);
}

bool append_quoted(std::string& out, PyObject* str) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
  if (!utf8) return false;
  out += quoted(std::string_view(utf8, static_cast<size_t>(size)));
  return true;
}

PyObject* value_repr(PyObject* self) {
  ValueObject* v = as_value(self);
  std::string text = "DecodedValue(" + code_text(v->descriptor) + ", ";
  if (v->raw_text || v->raw_meaning) {
    if (!append_quoted(text, v->raw_text ? v->raw_text : v->raw_meaning)) return nullptr;
  } else if (flags_of(v) & kHasValue) {
    text += "Some(" + float_text(v->value) + ")";
  } else {
    text += "None";
  }
  text += ")";
  return text_to_py(text);
}

// The type reference is the chunk's, not the object's.
void value_dealloc(PyObject* self) {
  ValueObject* v = as_value(self);
  Py_DECREF(v->name);
  Py_XDECREF(v->raw_text);
  Py_XDECREF(v->raw_meaning);
  release_value(self);
}

PyGetSetDef value_getset[] = {
    {"descriptor", get_descriptor, nullptr, nullptr, nullptr},
    {"name", get_name, nullptr, nullptr, nullptr},
    {"raw_value", get_raw_value, nullptr, nullptr, nullptr},
    {"raw", get_raw, nullptr, nullptr, nullptr},
    {"raw_text", get_raw_text, nullptr, nullptr, nullptr},
    {"raw_meaning", get_raw_meaning, nullptr, nullptr, nullptr},
    {"data", get_data, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot value_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(value_dealloc)},
    {Py_tp_free, reinterpret_cast<void*>(release_value)},
    {Py_tp_repr, reinterpret_cast<void*>(value_repr)},
    {Py_tp_getset, value_getset},
    {0, nullptr},
};

PyType_Spec value_spec = {"tarvane._tarvane.DecodedValue", sizeof(ValueObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                          value_slots};

}  // namespace

PyTypeObject* decoded_value_type() {
  static PyTypeObject* type = nullptr;
  if (!type) type = make_type(&value_spec);
  return type;
}

namespace {

// Fills list (of n empty places) with one object per record; false with an
// exception set on failure, the objects made so far then being in the list.
bool fill_values(PyObject* list, const DecodeResult& result, PyTypeObject* type, StrCache& strs) {
  const size_t n = result.values.size();
  ChunkAllocator chunks(type, n);
  // Plain locals: stores into the objects could otherwise alias the result
  // and the list, and force their reloading on every value.
  PyObject** const items = reinterpret_cast<PyListObject*>(list)->ob_item;
  const DecodedValue* const records = result.values.data();
  for (size_t i = 0; i < n; ++i) {
    const DecodedValue& d = records[i];
    PyObject* name = strs.get(d.name);
    if (!name) return false;
    PyObject* meaning = nullptr;
    if (d.meaning && !(meaning = strs.get(*d.meaning))) return false;
    PyObject* text = nullptr;
    if (d.text != DecodedValue::kNoText && !(text = new_str(result.texts[d.text]))) return false;
    ValueObject* v = chunks.next(n - i, (d.has_value ? kHasValue : 0) | (d.has_raw ? kHasRaw : 0));
    if (!v) {
      Py_XDECREF(text);
      return false;
    }
    // The header by hand: the chunk, not each object, holds the type reference.
    v->ob_base.ob_refcnt = 1;
    v->ob_base.ob_type = type;
    v->name = Py_NewRef(name);
    v->raw_text = text;
    v->raw_meaning = Py_XNewRef(meaning);
    v->value = d.value;
    v->raw = d.raw;
    v->descriptor = d.descriptor;
    items[i] = reinterpret_cast<PyObject*>(v);
  }
  return true;
}

}  // namespace

PyObject* decoded_values_to_list(const DecodeResult& result, StrCache* strs) {
  PyTypeObject* type = decoded_value_type();
  if (!type) return nullptr;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(result.values.size()));
  if (!list) return nullptr;
  bool filled;
  if (strs) {
    filled = fill_values(list, result, type, *strs);
  } else {
    StrCache call_strs;
    filled = fill_values(list, result, type, call_strs);
  }
  if (!filled) {
    Py_DECREF(list);  // unset items are NULL, which the list tolerates
    return nullptr;
  }
  return list;
}

}  // namespace tarvane
