// voxframe: the device's packet record, a ctypes structure class built by a C++ extension module.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>
#include <structmember.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>

namespace {

const char SOURCE_FILE[] = "voxframe.cpp";
const char MODULE_NAME[] = "voxframe";

// ---------------------------------------------------------------------------
// Module state

// The constructor's parameters; the eight fields of the record are P_SEQUENCE_NUMBER to
// P_TIMESTAMP_MS, in the order of _fields_.
enum InitParam {
    P_SELF,
    P_SEQUENCE_NUMBER,
    P_GPIOS,
    P_TIMESTAMP_BYTES,
    P_RTP_TIMESTAMP_MS,
    P_DATA,
    P_DATA_LEN,
    P_REPLICA,
    P_TIMESTAMP_MS,
    P_EMPTY_PACKET,
    P_COUNT
};
const Py_ssize_t REQUIRED_PARAMS = P_DATA_LEN;
const char* const PARAM_NAMES[P_COUNT] = {
    "self", "sequence_number", "gpios", "timestamp_bytes", "rtp_timestamp_ms", "data",
    "data_len", "replica", "timestamp_ms", "empty_packet"};
// Width of each field in the native struct; 0 for the parameters that are no field.
const Py_ssize_t FIELD_SIZES[P_COUNT] = {0, 2, 1, 4, 4, sizeof(void*), 2, 1, 4, 0};
// The data field's index among the fields, under which ctypes keeps what it points into.
const Py_ssize_t DATA_INDEX = P_DATA - P_SEQUENCE_NUMBER;
static_assert(P_DATA - P_SEQUENCE_NUMBER == 4, "the data key below is \"4\"");

// Interned names, made once.
struct Names {
    PyObject* param[P_COUNT];
    PyObject* empty_attr;
    PyObject* init;
    PyObject* from_buffer_copy;
    PyObject* bytes_timestamp_to_ms;
    PyObject* big;
    PyObject* c_ubyte;
    PyObject* structure;
    PyObject* data_key; // what ctypes keeps for a record's data field is filed under
};

// Records of the class exactly as built here take direct field stores: the same bytes ctypes
// stores for exact ints, 4-byte bytes and truth values, without a descriptor call per field.
struct Layout {
    bool valid;
    unsigned int version_tag;
    PyObject* type;               // strong
    PyObject* structure;          // strong; the Structure the class was built on
    PyObject* c_ubyte;            // strong
    PyObject* bytes_timestamp_fn; // strong; the class's own _bytes_timestamp_to_ms
    Py_ssize_t offset[P_COUNT];   // of each field in the record
};

// The constructor's payload copies by address, each entry with a weak reference to its copy
// that the table owns: the reference's callback removes the entry as the copy is freed, so an
// entry is there exactly while its copy lives. Open addressing with linear probing; the slots
// shrink again as entries go.
class Copies {
public:
    // Owns ref from here on, also on failure. An entry at the same address is replaced: its
    // copy has been moved away by a resize() and no longer lies there.
    bool add(uintptr_t address, PyObject* ref)
    {
        if (2 * (m_count + 1) > m_capacity &&
            !resize(m_capacity != 0 ? 2 * m_capacity : MIN_CAPACITY)) {
            Py_DECREF(ref);
            return false;
        }
        Entry& entry = m_slots[slot(address)];
        PyObject* old = entry.ref;
        entry = {address, ref};
        if (old == nullptr)
            ++m_count;
        Py_XDECREF(old);
        return true;
    }

    // Borrowed; nullptr when no copy was made at address.
    PyObject* find(uintptr_t address) const
    {
        return m_count != 0 ? m_slots[slot(address)].ref : nullptr;
    }

    // Drops ref, if it is still the entry at address.
    void remove(uintptr_t address, PyObject* ref)
    {
        if (m_count == 0)
            return;
        size_t hole = slot(address);
        if (m_slots[hole].ref != ref)
            return;
        // Moves back each later entry of the run that may sit in the hole.
        const size_t mask = m_capacity - 1;
        for (size_t next = (hole + 1) & mask; m_slots[next].ref != nullptr;
             next = (next + 1) & mask) {
            const size_t home = hash(m_slots[next].address);
            if (((next - home) & mask) >= ((next - hole) & mask)) {
                m_slots[hole] = m_slots[next];
                hole = next;
            }
        }
        m_slots[hole] = {0, nullptr};
        --m_count;
        if (m_capacity > MIN_CAPACITY && 8 * m_count < m_capacity)
            resize(m_capacity / 2); // a failure only keeps the larger table
        Py_DECREF(ref);
    }

private:
    struct Entry {
        uintptr_t address;
        PyObject* ref;
    };
    static const size_t MIN_CAPACITY = 64;

    size_t hash(uintptr_t address) const
    {
        return static_cast<size_t>((static_cast<uint64_t>(address >> 4) *
                                    0x9E3779B97F4A7C15ull) >> 32) & (m_capacity - 1);
    }

    // The entry of address, or the empty slot where it would go.
    size_t slot(uintptr_t address) const
    {
        size_t i = hash(address);
        while (m_slots[i].ref != nullptr && m_slots[i].address != address)
            i = (i + 1) & (m_capacity - 1);
        return i;
    }

    bool resize(size_t capacity)
    {
        Entry* slots = static_cast<Entry*>(PyMem_Calloc(capacity, sizeof(Entry)));
        if (slots == nullptr)
            return false;
        Entry* old = m_slots;
        const size_t old_capacity = m_capacity;
        m_slots = slots;
        m_capacity = capacity;
        for (size_t i = 0; i < old_capacity; ++i)
            if (old[i].ref != nullptr)
                m_slots[slot(old[i].address)] = old[i];
        PyMem_Free(old);
        return true;
    }

    Entry* m_slots = nullptr;
    size_t m_capacity = 0;
    size_t m_count = 0;
};

// The module supports one interpreter per process, so its state is process-wide; every
// reference here is strong and lives until the process ends.
struct ModuleState {
    bool have_interpreter;
    int64_t interpreter_id;
    PyObject* module;         // set once the exec step has begun
    PyObject* globals;        // the module's namespace, for traceback frames
    PyObject* ubyte_pointer;  // POINTER(c_ubyte): which records take the bounded get_data()
    PyObject* int_from_bytes; // int.from_bytes
    getbufferproc ctypes_getbuffer; // what every ctypes instance exports its memory with
    PyTypeObject* copy_ref_type; // type of the weak reference to a payload copy
    Py_ssize_t copy_ref_tail;    // where in it the CopyRefTail lies
    PyObject* forget_copy;       // its callback
    PyObject* copy_type;         // c_ubyte * copy_type_length
    uint16_t copy_type_length;
    Copies copies;
    Names names;
    Layout layout;
};
ModuleState state;

// ---------------------------------------------------------------------------
// The type's functions, and what they share

// Owning reference: releases on every return, so error paths need no bookkeeping.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* obj) : m_obj(obj) {}
    static Ref borrowed(PyObject* obj)
    {
        Py_XINCREF(obj);
        return Ref(obj);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : m_obj(other.release()) {}
    Ref& operator=(Ref&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(m_obj); }

    PyObject* get() const { return m_obj; }
    PyObject* release()
    {
        PyObject* obj = m_obj;
        m_obj = nullptr;
        return obj;
    }
    void reset(PyObject* obj = nullptr)
    {
        PyObject* old = m_obj;
        m_obj = obj;
        Py_XDECREF(old);
    }
    explicit operator bool() const { return m_obj != nullptr; }

private:
    PyObject* m_obj = nullptr;
};

// A failing step records its line, for the traceback entry of the function it belongs to, and
// returns the empty value of that function's type (nullptr or false).
#define CHECK(cond)          \
    do {                     \
        if (!(cond)) {       \
            line = __LINE__; \
            return {};       \
        }                    \
    } while (0)

bool intern(PyObject*& slot, const char* text)
{
    if (slot == nullptr)
        slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

bool make_names()
{
    Names& n = state.names;
    for (int i = 0; i < P_COUNT; ++i)
        if (!intern(n.param[i], PARAM_NAMES[i]))
            return false;
    return intern(n.empty_attr, "_VoxFrame__empty") && intern(n.init, "__init__") &&
           intern(n.from_buffer_copy, "from_buffer_copy") &&
           intern(n.bytes_timestamp_to_ms, "_bytes_timestamp_to_ms") && intern(n.big, "big") &&
           intern(n.c_ubyte, "c_ubyte") && intern(n.structure, "Structure") &&
           intern(n.data_key, "4");
}

// The one place where the interpreter versions differ.
int64_t current_interpreter_id()
{
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
    // A field read rather than a call: a 3.8 build stays loadable by later interpreters.
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
}

// Adds a traceback entry "funcname" at the given source line, keeping the pending exception.
void add_traceback(const char* funcname, int line, PyObject* globals)
{
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref owned_globals;
    if (globals == nullptr) {
        owned_globals.reset(PyDict_New());
        globals = owned_globals.get();
    }
    Ref code;
    Ref frame;
    if (globals != nullptr)
        code.reset(reinterpret_cast<PyObject*>(PyCode_NewEmpty(SOURCE_FILE, funcname, line)));
    if (code)
        frame.reset(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (frame)
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

// A name as the module's code sees it: its namespace first, then the builtins.
PyObject* lookup_global(PyObject* name)
{
    PyObject* value = state.globals != nullptr ? PyDict_GetItemWithError(state.globals, name)
                                               : nullptr;
    if (value == nullptr && !PyErr_Occurred())
        value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (value == nullptr) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return nullptr;
    }
    Py_INCREF(value);
    return value;
}

PyObject* lookup_global(const char* name)
{
    Ref key(PyUnicode_FromString(name));
    return key ? lookup_global(key.get()) : nullptr;
}

// The head of every ctypes instance, as CPython 3.8 to 3.11 declare it; the import checks it
// against the offsets that ctypes publishes for _objects, _b_base_ and _b_needsfree_.
struct CData {
    PyObject_HEAD
    char* b_ptr;
    int b_needsfree;     // whether ctypes allocated b_ptr for it
    CData* b_base;       // the instance it is a field, element or pointer target of
    Py_ssize_t b_size;
    Py_ssize_t b_length;
    Py_ssize_t b_index;  // its index in b_base
    PyObject* b_objects; // what a root keeps alive; a view's entries lie in its root's
};

bool is_ctypes_object(PyObject* obj)
{
    PyBufferProcs* procs = Py_TYPE(obj)->tp_as_buffer;
    return procs != nullptr && procs->bf_getbuffer == state.ctypes_getbuffer;
}

CData* as_cdata(PyObject* obj)
{
    return obj != nullptr && is_ctypes_object(obj) ? reinterpret_cast<CData*>(obj) : nullptr;
}

bool is_plain_record(PyObject* self)
{
    const Layout& at = state.layout;
    PyTypeObject* type = Py_TYPE(self);
    // Any change to the class's namespace (a field replaced, say) renews its version tag.
    return at.valid && reinterpret_cast<PyObject*>(type) == at.type &&
           PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) &&
           type->tp_version_tag == at.version_tag;
}

// Copies size bytes into or out of the record at offset. The record's memory is read each
// time: code run between the steps (a __len__, a __bool__) may have resized it.
bool record_bytes(PyObject* self, Py_ssize_t offset, void* bytes, size_t size, bool write)
{
    const CData* record = reinterpret_cast<CData*>(self);
    const bool fits = offset >= 0 && offset + static_cast<Py_ssize_t>(size) <= record->b_size;
    if (fits) {
        char* at = record->b_ptr + offset;
        if (write)
            std::memcpy(at, bytes, size);
        else
            std::memcpy(bytes, at, size);
    } else {
        PyErr_SetString(PyExc_SystemError, "voxframe: record smaller than its fields");
    }
    return fits;
}

// The low bits of value in a field of a plain record, as ctypes keeps them.
bool write_field(PyObject* self, InitParam field, unsigned long long value)
{
    const Py_ssize_t offset = state.layout.offset[field];
    if (FIELD_SIZES[field] == 1) {
        uint8_t v = static_cast<uint8_t>(value);
        return record_bytes(self, offset, &v, sizeof v, true);
    }
    if (FIELD_SIZES[field] == 2) {
        uint16_t v = static_cast<uint16_t>(value);
        return record_bytes(self, offset, &v, sizeof v, true);
    }
    uint32_t v = static_cast<uint32_t>(value);
    return record_bytes(self, offset, &v, sizeof v, true);
}

// Stores value into an unsigned integer field, directly when ctypes would store the same bits.
bool store_unsigned(PyObject* self, InitParam field, PyObject* value)
{
    if (!is_plain_record(self) || !PyLong_CheckExact(value))
        return PyObject_SetAttr(self, state.names.param[field], value) == 0;
    const unsigned long bits = PyLong_AsUnsignedLongMask(value);
    if (bits == static_cast<unsigned long>(-1) && PyErr_Occurred())
        return false;
    return write_field(self, field, bits);
}

// The unsigned big-endian value of up to 8 bytes of a bytes or bytearray object.
bool small_big_endian(PyObject* obj, unsigned long long& value)
{
    const char* bytes;
    Py_ssize_t n;
    if (PyBytes_CheckExact(obj)) {
        bytes = PyBytes_AS_STRING(obj);
        n = PyBytes_GET_SIZE(obj);
    } else if (PyByteArray_CheckExact(obj)) {
        bytes = PyByteArray_AS_STRING(obj);
        n = PyByteArray_GET_SIZE(obj);
    } else {
        return false;
    }
    if (n > 8)
        return false;
    value = 0;
    for (Py_ssize_t i = 0; i < n; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return true;
}

// What a weak reference to a payload copy adds to the interpreter's own.
struct CopyRefTail {
    uintptr_t address; // the copy's
    uintptr_t record;  // the memory of the record it was made for
};

CopyRefTail& copy_ref_tail(PyObject* ref)
{
    return *reinterpret_cast<CopyRefTail*>(reinterpret_cast<char*>(ref) + state.copy_ref_tail);
}

// The copy a weak reference still refers to (borrowed), or nullptr once it is being freed.
PyObject* live_copy(PyObject* ref)
{
    PyObject* copy = ref != nullptr ? reinterpret_cast<PyWeakReference*>(ref)->wr_object : nullptr;
    return copy != nullptr && copy != Py_None && Py_REFCNT(copy) > 0 ? copy : nullptr;
}

// The callback of a copy's weak reference, run as the copy is freed. Python code can call it
// too, as the reference's __callback__, with any object: only a reference of ours to a copy
// that is gone is forgotten.
PyObject* forget_copy(PyObject*, PyObject* ref)
{
    if (Py_TYPE(ref) == state.copy_ref_type && live_copy(ref) == nullptr)
        state.copies.remove(copy_ref_tail(ref).address, ref);
    Py_RETURN_NONE;
}

PyMethodDef FORGET_COPY_DEF = {"forget_copy", forget_copy, METH_O, nullptr};

// Makes the constructor's payload copy findable by its address while it lives there, for
// records that keep nothing: views made from the record's address, copies of its bytes.
bool register_copy(PyObject* self, PyObject* copy)
{
    const CData* data = as_cdata(copy);
    const CData* record = as_cdata(self);
    if (data == nullptr || record == nullptr || data->b_size <= 0 ||
        Py_TYPE(copy)->tp_weaklistoffset == 0)
        return true;
    Ref args(PyTuple_Pack(2, copy, state.forget_copy));
    Ref ref(args ? _PyWeakref_RefType.tp_new(state.copy_ref_type, args.get(), nullptr) : nullptr);
    if (!ref)
        return false;
    const uintptr_t address = reinterpret_cast<uintptr_t>(data->b_ptr);
    copy_ref_tail(ref.get()) = {address, reinterpret_cast<uintptr_t>(record->b_ptr)};
    if (!state.copies.add(address, ref.release())) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

// An instance and the indices that lead from its root to it, innermost first: ctypes files what
// it keeps in the root's b_objects under keys made of these ("4:1" for field 4 of element 1).
// A view reached through a linked list of records can be thousands of levels deep.
class Chain {
public:
    explicit Chain(CData* obj)
    {
        Py_ssize_t length = 0;
        for (CData* at = obj; at->b_base != nullptr; at = at->b_base)
            ++length;
        if (length > INLINE)
            m_index = static_cast<Py_ssize_t*>(PyMem_Malloc(length * sizeof(Py_ssize_t)));
        if (m_index == nullptr)
            return;
        for (; obj->b_base != nullptr; obj = obj->b_base)
            m_index[m_length++] = obj->b_index;
        m_root = obj;
    }
    ~Chain()
    {
        if (m_index != m_inline)
            PyMem_Free(m_index);
    }
    Chain(const Chain&) = delete;
    Chain& operator=(const Chain&) = delete;

    CData* root() const { return m_root; } // nullptr when out of memory
    Py_ssize_t length() const { return m_length; }
    Py_ssize_t index(Py_ssize_t i) const { return m_index[i]; }

private:
    static const Py_ssize_t INLINE = 8;
    Py_ssize_t m_inline[INLINE];
    Py_ssize_t* m_index = m_inline;
    Py_ssize_t m_length = 0;
    CData* m_root = nullptr;
};

// A dict's item under a key (held: a key's own __eq__, run by the look-up, may drop what the
// walk has reached).
Ref kept_item(PyObject* dict, PyObject* key)
{
    if (dict == nullptr || key == nullptr || !PyDict_Check(dict)) {
        PyErr_Clear(); // a key that could not be made finds nothing
        return Ref();
    }
    PyObject* item = PyDict_GetItemWithError(dict, key);
    PyErr_Clear(); // a look-up that fails finds nothing
    return Ref::borrowed(item);
}

// Under the key ctypes spells with hex numbers, as it does.
Ref kept_item(PyObject* dict, const char* key)
{
    Ref name(dict != nullptr ? PyUnicode_FromString(key) : nullptr);
    return kept_item(dict, name.get());
}

// What an instance keeps as a whole: a root's own objects; for a view, the entry that its base
// holds for it, at each level the objects of the instance assigned there (an element, a member,
// a pointer's target under "0").
Ref kept_whole(const Chain& chain)
{
    Ref kept = Ref::borrowed(chain.root()->b_objects);
    char key[24];
    for (Py_ssize_t i = chain.length() - 1; i >= 0 && kept; --i) {
        PyOS_snprintf(key, sizeof key, "%x", static_cast<int>(chain.index(i)));
        kept = kept_item(kept.get(), key);
    }
    return kept;
}

bool keeps_anything(PyObject* kept)
{
    return kept != nullptr && kept != Py_None && (!PyDict_Check(kept) || PyDict_GET_SIZE(kept) != 0);
}

// The most bytes from an address that one buffer among a record's kept objects holds: the memory
// of a ctypes instance that ctypes allocated (whole, also when the kept instance is a view into
// it), or a bytes-like object a memoryview keeps exported. Kept objects may form cycles
// (r.data = r.data makes one) and a container may keep thousands, so the walk is bounded.
class BufferSearch {
public:
    BufferSearch(uintptr_t address, Py_ssize_t wanted) : m_address(address), m_wanted(wanted) {}

    void visit(PyObject* obj, int depth = MAX_DEPTH)
    {
        if (obj == nullptr || depth < 0 || done())
            return;
        ++m_visited;
        Ref hold = Ref::borrowed(obj);
        if (CData* data = as_cdata(obj)) {
            Chain chain(data);
            CData* root = chain.root();
            if (root == nullptr)
                return;
            if (root->b_needsfree)
                cover(obj, root->b_ptr, root->b_size);
            Ref kept = kept_whole(chain);
            visit(kept.get(), depth - 1);
        } else if (PyMemoryView_Check(obj)) {
            PyMemoryViewObject* view = reinterpret_cast<PyMemoryViewObject*>(obj);
            if ((view->flags & _Py_MEMORYVIEW_RELEASED) ||
                (view->mbuf->flags & _Py_MANAGED_BUFFER_RELEASED))
                return;
            const Py_buffer& master = view->mbuf->master;
            if (master.obj != nullptr &&
                (PyBytes_CheckExact(master.obj) || PyByteArray_CheckExact(master.obj)))
                cover(obj, master.buf, master.len);
            else
                visit(master.obj, depth - 1);
        } else if (PyTuple_Check(obj)) {
            // ctypes keeps an assigned array as (its objects, the array): the array first.
            for (Py_ssize_t i = PyTuple_GET_SIZE(obj); i-- > 0;)
                visit(PyTuple_GET_ITEM(obj, i), depth - 1);
        } else if (PyDict_Check(obj)) {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (!done() && PyDict_Next(obj, &pos, &key, &value))
                visit(value, depth - 1);
        }
    }

    // At most wanted bytes from the buffer found, none when there is none.
    PyObject* bytes() const
    {
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(m_address),
                                         m_wanted < m_held ? m_wanted : m_held);
    }

private:
    static const int MAX_DEPTH = 8;
    static const int MAX_VISITED = 64;

    bool done() const { return m_held >= m_wanted || m_visited >= MAX_VISITED; }

    // Held until the bytes are made: a later look-up may drop it from where it was kept.
    void cover(PyObject* owner, const void* buffer, Py_ssize_t size)
    {
        const uintptr_t start = reinterpret_cast<uintptr_t>(buffer);
        if (m_address >= start && m_address - start < static_cast<uintptr_t>(size)) {
            const Py_ssize_t held = size - static_cast<Py_ssize_t>(m_address - start);
            if (held > m_held) {
                m_held = held;
                m_owner = Ref::borrowed(owner);
            }
        }
    }

    const uintptr_t m_address;
    const Py_ssize_t m_wanted;
    Py_ssize_t m_held = 0;
    Ref m_owner;
    int m_visited = 0;
};

// A payload copy of the constructor's that still lies at address (borrowed), for a holder that
// keeps nothing: a view (of memory not its own) only of the record the copy was made for; a
// record with memory of its own, made from another's bytes, of any record.
PyObject* copy_at(const CData* holder, uintptr_t address, Py_ssize_t& held)
{
    PyObject* ref = state.copies.find(address);
    PyObject* copy = live_copy(ref);
    CData* data = as_cdata(copy);
    held = 0;
    const bool own_memory = holder->b_base == nullptr && holder->b_needsfree;
    if (data == nullptr ||
        (!own_memory && copy_ref_tail(ref).record != reinterpret_cast<uintptr_t>(holder->b_ptr)))
        return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(data->b_ptr);
    if (address >= start && address - start < static_cast<uintptr_t>(data->b_size))
        held = data->b_size - static_cast<Py_ssize_t>(address - start);
    return copy;
}

// At most wanted bytes at address, the pointer in field `index` of holder, and only from a buffer
// that holder keeps alive for that field: what ctypes filed when the field was assigned, through
// holder or through the instance whose bytes holder views. A holder that keeps nothing at all
// takes the constructor's copy that lies at address. No Python code of ours runs; a dict key's
// own __eq__ may.
PyObject* payload_at(CData* holder, Py_ssize_t index, uintptr_t address, Py_ssize_t wanted)
{
    if (wanted <= 0)
        return PyBytes_FromStringAndSize(nullptr, 0);
    if (address == 0) {
        PyErr_SetString(PyExc_ValueError, "NULL pointer access");
        return nullptr;
    }
    Chain chain(holder);
    if (chain.root() == nullptr)
        return PyErr_NoMemory();
    Ref field;
    char key[256]; // ctypes makes no longer key, so a deeper view has none
    if (chain.length() == 0 && index == DATA_INDEX) {
        field = kept_item(holder->b_objects, state.names.data_key);
    } else {
        int at = PyOS_snprintf(key, sizeof key, "%x", static_cast<int>(index));
        for (Py_ssize_t i = 0; i < chain.length() && at < static_cast<int>(sizeof key); ++i)
            at += PyOS_snprintf(key + at, sizeof key - at, ":%x", static_cast<int>(chain.index(i)));
        if (at < static_cast<int>(sizeof key) - 1)
            field = kept_item(chain.root()->b_objects, key);
    }
    // Most often what the constructor left: (the copy's objects, the copy), data at its start.
    if (field && PyTuple_CheckExact(field.get()) && PyTuple_GET_SIZE(field.get()) == 2) {
        const CData* copy = as_cdata(PyTuple_GET_ITEM(field.get(), 1));
        if (copy != nullptr && copy->b_base == nullptr && copy->b_needsfree &&
            address == reinterpret_cast<uintptr_t>(copy->b_ptr) && wanted <= copy->b_size)
            return PyBytes_FromStringAndSize(copy->b_ptr, wanted);
    }
    Ref whole = kept_whole(chain);
    Ref inner;
    if (chain.length() != 0) {
        PyOS_snprintf(key, sizeof key, "%x", static_cast<int>(index));
        inner = kept_item(whole.get(), key);
    }
    BufferSearch search(address, wanted);
    if (field || inner) {
        search.visit(field.get());
        search.visit(inner.get());
    } else if (keeps_anything(whole.get())) {
        search.visit(whole.get());
    } else {
        Py_ssize_t held = 0;
        Ref copy = Ref::borrowed(copy_at(holder, address, held));
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(address),
                                         wanted < held ? wanted : held);
    }
    return search.bytes();
}

void raise_arg_count(const char* more_or_less, Py_ssize_t expected, Py_ssize_t given)
{
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", "__init__",
                 more_or_less, expected, expected == 1 ? "" : "s", given);
}

// Fills values[] from the call's arguments, as CPython binds a def's: a keyword takes the
// parameter whose name it is, or else the first one it compares equal to (its own __eq__ may
// say no). The values and keys are owned: code run later in the call (a key's __eq__, a
// __len__, a __bool__) may empty the caller's dict.
bool parse_init_args(PyObject* args, PyObject* kwargs, Ref* values)
{
    PyObject* const* names = state.names.param;
    const Py_ssize_t npos = PyTuple_GET_SIZE(args);
    if (npos > P_COUNT) {
        raise_arg_count("at most", P_COUNT, npos);
        return false;
    }
    if (kwargs == nullptr && npos < REQUIRED_PARAMS) {
        raise_arg_count("at least", REQUIRED_PARAMS, npos);
        return false;
    }
    bool bound[P_COUNT] = {};
    for (Py_ssize_t i = 0; i < npos; ++i) {
        values[i] = Ref::borrowed(PyTuple_GET_ITEM(args, i));
        bound[i] = true;
    }
    if (kwargs == nullptr)
        return true;

    Ref items(PyDict_Items(kwargs));
    if (!items)
        return false;
    const Py_ssize_t nkw = PyList_GET_SIZE(items.get());
    // Before any comparison, which runs a key's own __eq__.
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (!PyUnicode_Check(PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), k), 0))) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", "__init__");
            return false;
        }
    }
    PyObject* refused = nullptr; // the first keyword no free parameter took
    bool refused_taken = false;  // whether it named a parameter already given
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* item = PyList_GET_ITEM(items.get(), k);
        PyObject* key = PyTuple_GET_ITEM(item, 0);
        Py_ssize_t match = -1;
        for (Py_ssize_t i = 0; i < P_COUNT && match < 0; ++i)
            if (key == names[i])
                match = i;
        for (Py_ssize_t i = 0; i < P_COUNT && match < 0; ++i) {
            const int equal = PyObject_RichCompareBool(key, names[i], Py_EQ);
            if (equal < 0)
                return false;
            if (equal)
                match = i;
        }
        if (match >= 0 && !bound[match]) {
            values[match] = Ref::borrowed(PyTuple_GET_ITEM(item, 1));
            bound[match] = true;
        } else if (refused == nullptr) {
            refused = key;
            refused_taken = match >= 0;
        }
    }
    for (Py_ssize_t i = npos; i < REQUIRED_PARAMS; ++i) {
        if (!bound[i]) {
            raise_arg_count("at least", REQUIRED_PARAMS, i);
            return false;
        }
    }
    if (refused == nullptr)
        return true;
    if (refused_taken)
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     "__init__", refused);
    else
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", "__init__",
                     refused);
    return false;
}

PyObject* init(PyObject* args, PyObject* kwargs, int& line)
{
    Ref v[P_COUNT];
    v[P_DATA_LEN] = Ref::borrowed(Py_None);
    v[P_REPLICA] = Ref::borrowed(Py_False);
    v[P_TIMESTAMP_MS] = Ref::borrowed(Py_None);
    v[P_EMPTY_PACKET] = Ref::borrowed(Py_False);
    CHECK(parse_init_args(args, kwargs, v));
    PyObject* self = v[P_SELF].get();
    const Names& n = state.names;
    const Layout& at = state.layout;

    // A fresh record's fields are already zero: only a re-run or a changed class needs the
    // base initialiser.
    {
        Ref base(lookup_global(n.structure));
        CHECK(base);
        if (base.get() != at.structure || !is_plain_record(self)) {
            Ref base_init(PyObject_GetAttr(base.get(), n.init));
            CHECK(base_init);
            Ref none(PyObject_CallFunctionObjArgs(base_init.get(), self, nullptr));
            CHECK(none);
        }
    }
    if (v[P_DATA_LEN].get() != Py_None) {
        CHECK(store_unsigned(self, P_DATA_LEN, v[P_DATA_LEN].get()));
    } else {
        const Py_ssize_t size = PyObject_Size(v[P_DATA].get());
        CHECK(size >= 0);
        if (is_plain_record(self)) {
            CHECK(write_field(self, P_DATA_LEN, static_cast<unsigned long long>(size)));
        } else {
            Ref size_obj(PyLong_FromSsize_t(size));
            CHECK(size_obj);
            CHECK(PyObject_SetAttr(self, n.param[P_DATA_LEN], size_obj.get()) == 0);
        }
    }
    CHECK(store_unsigned(self, P_SEQUENCE_NUMBER, v[P_SEQUENCE_NUMBER].get()));
    CHECK(store_unsigned(self, P_GPIOS, v[P_GPIOS].get()));

    // An array as long as the argument; the field takes only 4.
    PyObject* stamp = v[P_TIMESTAMP_BYTES].get();
    Ref stamp_item(lookup_global(n.c_ubyte));
    CHECK(stamp_item);
    if ((PyBytes_CheckExact(stamp) || PyByteArray_CheckExact(stamp)) && PyObject_Size(stamp) == 4 &&
        stamp_item.get() == at.c_ubyte && is_plain_record(self)) {
        char bytes[4];
        std::memcpy(bytes, PyBytes_CheckExact(stamp) ? PyBytes_AS_STRING(stamp)
                                                     : PyByteArray_AS_STRING(stamp), 4);
        CHECK(record_bytes(self, at.offset[P_TIMESTAMP_BYTES], bytes, 4, true));
    } else {
        const Py_ssize_t count = PyObject_Size(stamp);
        CHECK(count >= 0);
        Ref count_obj(PyLong_FromSsize_t(count));
        CHECK(count_obj);
        Ref array_type(PyNumber_Multiply(stamp_item.get(), count_obj.get()));
        CHECK(array_type);
        Ref items(PySequence_Tuple(stamp));
        CHECK(items);
        Ref array(PyObject_Call(array_type.get(), items.get(), nullptr));
        CHECK(array);
        CHECK(PyObject_SetAttr(self, n.param[P_TIMESTAMP_BYTES], array.get()) == 0);
    }
    CHECK(store_unsigned(self, P_RTP_TIMESTAMP_MS, v[P_RTP_TIMESTAMP_MS].get()));

    // The stored 16-bit length governs the copy, which the record then owns and points at.
    {
        Ref c_ubyte(lookup_global(n.c_ubyte));
        CHECK(c_ubyte);
        Ref array_type;
        if (c_ubyte.get() == at.c_ubyte && is_plain_record(self)) {
            uint16_t stored = 0;
            CHECK(record_bytes(self, at.offset[P_DATA_LEN], &stored, sizeof stored, false));
            // ctypes makes one array type per length; the last one is kept at hand. Making
            // one may collect garbage whose finalizers construct records, so the kept type
            // is replaced only once the new one is ours.
            if (state.copy_type != nullptr && stored == state.copy_type_length) {
                array_type = Ref::borrowed(state.copy_type);
            } else {
                array_type.reset(PySequence_Repeat(c_ubyte.get(), stored));
                CHECK(array_type);
                PyObject* old = state.copy_type;
                state.copy_type = Ref::borrowed(array_type.get()).release();
                state.copy_type_length = stored;
                Py_XDECREF(old);
            }
        } else {
            Ref stored(PyObject_GetAttr(self, n.param[P_DATA_LEN]));
            CHECK(stored);
            array_type.reset(PyNumber_Multiply(c_ubyte.get(), stored.get()));
        }
        CHECK(array_type);
        Ref copy(PyObject_CallMethodObjArgs(array_type.get(), n.from_buffer_copy,
                                            v[P_DATA].get(), nullptr));
        CHECK(copy);
        CHECK(PyObject_SetAttr(self, n.param[P_DATA], copy.get()) == 0);
        CHECK(register_copy(self, copy.get()));
    }

    // Only plain values take the direct store: the field refuses ctypes instances of other
    // types, which must keep raising TypeError.
    PyObject* replica = v[P_REPLICA].get();
    if (is_plain_record(self) &&
        (PyBool_Check(replica) || replica == Py_None || PyLong_CheckExact(replica))) {
        const int truth = PyObject_IsTrue(replica);
        CHECK(truth >= 0);
        CHECK(write_field(self, P_REPLICA, truth));
    } else {
        CHECK(PyObject_SetAttr(self, n.param[P_REPLICA], replica) == 0);
    }

    // Derived from the argument as passed, not from the stored field.
    if (v[P_TIMESTAMP_MS].get() != Py_None) {
        CHECK(store_unsigned(self, P_TIMESTAMP_MS, v[P_TIMESTAMP_MS].get()));
    } else {
        Ref convert(PyObject_GetAttr(self, n.bytes_timestamp_to_ms));
        CHECK(convert);
        unsigned long long value = 0;
        if (convert.get() == at.bytes_timestamp_fn && is_plain_record(self) &&
            small_big_endian(stamp, value)) {
            CHECK(write_field(self, P_TIMESTAMP_MS, value));
        } else {
            Ref ms(PyObject_CallFunctionObjArgs(convert.get(), stamp, nullptr));
            CHECK(ms);
            CHECK(store_unsigned(self, P_TIMESTAMP_MS, ms.get()));
        }
    }
    CHECK(PyObject_SetAttr(self, n.empty_attr, v[P_EMPTY_PACKET].get()) == 0);
    Py_RETURN_NONE;
}

PyObject* bytes_timestamp_to_ms(PyObject* timestamp, int& line)
{
    unsigned long long value = 0;
    PyObject* result;
    if (small_big_endian(timestamp, value)) {
        result = PyLong_FromUnsignedLongLong(value);
    } else {
        Ref args(PyTuple_Pack(2, timestamp, state.names.big));
        CHECK(args);
        result = PyObject_Call(state.int_from_bytes, args.get(), nullptr);
    }
    CHECK(result);
    return result;
}

PyObject* get_field(PyObject* self, PyObject* name, int& line)
{
    PyObject* result = PyObject_GetAttr(self, name);
    CHECK(result);
    return result;
}

PyObject* is_empty(PyObject* self, int& line)
{
    return get_field(self, state.names.empty_attr, line);
}

PyObject* get_timestamp_ms(PyObject* self, int& line)
{
    return get_field(self, state.names.param[P_TIMESTAMP_MS], line);
}

PyObject* get_rtp_timestamp_ms(PyObject* self, int& line)
{
    return get_field(self, state.names.param[P_RTP_TIMESTAMP_MS], line);
}

PyObject* get_gpios(PyObject* self, int& line)
{
    return get_field(self, state.names.param[P_GPIOS], line);
}

PyObject* get_sequence_n(PyObject* self, int& line)
{
    return get_field(self, state.names.param[P_SEQUENCE_NUMBER], line);
}

// Copies the payload, never more than the buffer the record keeps alive and data points into:
// data_len and data stay writable, so neither bounds the other once a caller has written them,
// and a rewritten data can leave the pointer at memory that is freed and then reused. A view of
// a record (an array element, a member, a pointer's contents) finds the record's kept objects
// through its container's.
PyObject* get_data(PyObject* self, int& line)
{
    uintptr_t address = 0;
    Py_ssize_t wanted = 0;
    CData* holder = reinterpret_cast<CData*>(self);
    Py_ssize_t index = DATA_INDEX;
    Ref pointer;
    if (is_plain_record(self)) {
        uint16_t length = 0;
        CHECK(record_bytes(self, state.layout.offset[P_DATA_LEN], &length, sizeof length, false));
        CHECK(record_bytes(self, state.layout.offset[P_DATA], &address, sizeof address, false));
        wanted = length;
    } else {
        Ref length(PyObject_GetAttr(self, state.names.param[P_DATA_LEN]));
        CHECK(length);
        // An index-like length is the int it stands for, and so bounded like one.
        if (!PyLong_Check(length.get()) && PyIndex_Check(length.get())) {
            length.reset(PyNumber_Index(length.get()));
            CHECK(length);
        }
        pointer.reset(PyObject_GetAttr(self, state.names.param[P_DATA]));
        CHECK(pointer);
        if (Py_TYPE(pointer.get()) != reinterpret_cast<PyTypeObject*>(state.ubyte_pointer) ||
            !PyLong_Check(length.get())) {
            // Not one of our records: the plain slice, as the record's own fields would give it.
            Ref stop(PySlice_New(nullptr, length.get(), nullptr));
            CHECK(stop);
            Ref items(PyObject_GetItem(pointer.get(), stop.get()));
            CHECK(items);
            PyObject* result = PyBytes_FromObject(items.get());
            CHECK(result);
            return result;
        }
        wanted = PyLong_AsSsize_t(length.get());
        CHECK(wanted != -1 || !PyErr_Occurred());
        Py_buffer view;
        CHECK(PyObject_GetBuffer(pointer.get(), &view, PyBUF_SIMPLE) == 0);
        if (view.len == static_cast<Py_ssize_t>(sizeof address))
            std::memcpy(&address, view.buf, sizeof address);
        PyBuffer_Release(&view);
        // The field of the instance the pointer was read from; a pointer of no instance keeps
        // its own objects, which ctypes files under no field's index.
        holder = reinterpret_cast<CData*>(pointer.get());
        index = -1;
        if (holder->b_base != nullptr) {
            index = holder->b_index;
            holder = holder->b_base;
        }
    }
    PyObject* result = payload_at(holder, index, address, wanted);
    CHECK(result);
    return result;
}

// ---------------------------------------------------------------------------
// The types: the class's functions, which bind on records as Python functions do, and the
// weak reference to a payload copy

enum class Kind { Single, Init };

struct FunctionDef {
    const char* name;
    const char* traceback_name;
    Kind kind;
    PyObject* (*single)(PyObject*, int&);
};

const FunctionDef INIT_DEF = {"__init__", "voxframe.VoxFrame.__init__", Kind::Init, nullptr};
const FunctionDef BYTES_TIMESTAMP_DEF = {"_bytes_timestamp_to_ms",
                                         "voxframe.VoxFrame._bytes_timestamp_to_ms", Kind::Single,
                                         bytes_timestamp_to_ms};
const FunctionDef ACCESSOR_DEFS[] = {
    {"is_empty", "voxframe.VoxFrame.is_empty", Kind::Single, is_empty},
    {"get_timestamp_ms", "voxframe.VoxFrame.get_timestamp_ms", Kind::Single, get_timestamp_ms},
    {"get_rtp_timestamp_ms", "voxframe.VoxFrame.get_rtp_timestamp_ms", Kind::Single,
     get_rtp_timestamp_ms},
    {"get_gpios", "voxframe.VoxFrame.get_gpios", Kind::Single, get_gpios},
    {"get_sequence_n", "voxframe.VoxFrame.get_sequence_n", Kind::Single, get_sequence_n},
    {"get_data", "voxframe.VoxFrame.get_data", Kind::Single, get_data},
};

struct Function {
    PyObject_HEAD
    const FunctionDef* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;
    PyObject* annotations;
    PyObject* dict;
};

// Every object a function holds, for traverse and clear alike.
template <typename Fn>
int for_each_member(PyObject* self, Fn fn)
{
    Function* f = reinterpret_cast<Function*>(self);
    for (PyObject** member : {&f->name, &f->qualname, &f->module, &f->doc, &f->defaults,
                              &f->annotations, &f->dict})
        if (const int rc = fn(member))
            return rc;
    return 0;
}

PyObject* function_call(PyObject* callable, PyObject* args, PyObject* kwargs)
{
    const FunctionDef* def = reinterpret_cast<Function*>(callable)->def;
    int line = __LINE__;
    PyObject* result = nullptr;
    if (def->kind == Kind::Init) {
        result = init(args, kwargs, line);
    } else if (kwargs != nullptr && PyDict_Size(kwargs) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", def->name);
        line = __LINE__;
    } else if (PyTuple_GET_SIZE(args) != 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)",
                     def->name, PyTuple_GET_SIZE(args));
        line = __LINE__;
    } else {
        result = def->single(PyTuple_GET_ITEM(args, 0), line);
    }
    if (result == nullptr)
        add_traceback(def->traceback_name, line, state.globals);
    return result;
}

PyObject* function_get(PyObject* self, PyObject* obj, PyObject*)
{
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg)
{
    return for_each_member(self, [&](PyObject** member) {
        Py_VISIT(*member);
        return 0;
    });
}

int function_clear(PyObject* self)
{
    return for_each_member(self, [](PyObject** member) {
        Py_CLEAR(*member);
        return 0;
    });
}

void function_dealloc(PyObject* self)
{
    PyObject_GC_UnTrack(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self)
{
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<Function*>(self)->qualname,
                                self);
}

PyObject* function_get_annotations(PyObject* self, void*)
{
    Function* f = reinterpret_cast<Function*>(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr)
            return nullptr;
    }
    Py_INCREF(f->annotations);
    return f->annotations;
}

PyObject* function_get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

PyMemberDef function_members[] = {
    {const_cast<char*>("__name__"), T_OBJECT, offsetof(Function, name), READONLY, nullptr},
    {const_cast<char*>("__qualname__"), T_OBJECT, offsetof(Function, qualname), READONLY, nullptr},
    {const_cast<char*>("__module__"), T_OBJECT, offsetof(Function, module), 0, nullptr},
    {const_cast<char*>("__doc__"), T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {const_cast<char*>("__defaults__"), T_OBJECT, offsetof(Function, defaults), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {const_cast<char*>("__annotations__"), function_get_annotations, nullptr, nullptr, nullptr},
    {const_cast<char*>("__kwdefaults__"), function_get_kwdefaults, nullptr, nullptr, nullptr},
    {const_cast<char*>("__dict__"), PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject FunctionType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "voxframe.function",    // tp_name
    sizeof(Function),       // tp_basicsize
    0,                      // tp_itemsize
    function_dealloc,       // tp_dealloc
    0,                      // tp_vectorcall_offset
    nullptr,                // tp_getattr
    nullptr,                // tp_setattr
    nullptr,                // tp_as_async
    function_repr,          // tp_repr
    nullptr,                // tp_as_number
    nullptr,                // tp_as_sequence
    nullptr,                // tp_as_mapping
    nullptr,                // tp_hash
    function_call,          // tp_call
    nullptr,                // tp_str
    PyObject_GenericGetAttr, // tp_getattro
    PyObject_GenericSetAttr, // tp_setattro
    nullptr,                // tp_as_buffer
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR, // tp_flags
    nullptr,                // tp_doc
    function_traverse,      // tp_traverse
    function_clear,         // tp_clear
    nullptr,                // tp_richcompare
    0,                      // tp_weaklistoffset
    nullptr,                // tp_iter
    nullptr,                // tp_iternext
    nullptr,                // tp_methods
    function_members,       // tp_members
    function_getset,        // tp_getset
    nullptr,                // tp_base
    nullptr,                // tp_dict
    function_get,           // tp_descr_get
    nullptr,                // tp_descr_set
    offsetof(Function, dict), // tp_dictoffset
    nullptr,                // tp_init
    nullptr,                // tp_alloc
    nullptr,                // tp_new
    nullptr,                // tp_free
    nullptr,                // tp_is_gc
    nullptr,                // tp_bases
    nullptr,                // tp_mro
    nullptr,                // tp_cache
    nullptr,                // tp_subclasses
    nullptr,                // tp_weaklist
    nullptr,                // tp_del
    0,                      // tp_version_tag
    nullptr,                // tp_finalize
    nullptr,                // tp_vectorcall
#if PY_VERSION_HEX < 0x03090000
    nullptr,                // tp_print
#endif
#if PY_VERSION_HEX >= 0x030C0000
    0,                      // tp_watched
#endif
};

// Steals doc, defaults and annotations.
PyObject* make_function(const FunctionDef* def, PyObject* doc, PyObject* defaults,
                        PyObject* annotations)
{
    Ref owned_doc(doc), owned_defaults(defaults), owned_annotations(annotations);
    Ref result(reinterpret_cast<PyObject*>(PyObject_GC_New(Function, &FunctionType)));
    if (!result)
        return nullptr;
    Function* f = reinterpret_cast<Function*>(result.get());
    f->def = def;
    f->name = PyUnicode_FromString(def->name);
    f->qualname = PyUnicode_FromFormat("VoxFrame.%s", def->name);
    f->module = PyUnicode_FromString(MODULE_NAME);
    f->doc = owned_doc ? owned_doc.release() : Ref::borrowed(Py_None).release();
    f->defaults = owned_defaults.release();
    f->annotations = owned_annotations.release();
    f->dict = nullptr;
    PyObject_GC_Track(result.get());
    if (f->name == nullptr || f->qualname == nullptr || f->module == nullptr)
        return nullptr;
    return result.release();
}

// The weak reference to a payload copy: the interpreter's own, with the copy's address after
// its fields, wherever this interpreter's layout ends them.
void copy_ref_dealloc(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    _PyWeakref_RefType.tp_dealloc(self);
    Py_DECREF(type);
}

bool make_copy_ref_type()
{
    if (state.copy_ref_type != nullptr)
        return true;
    PyTypeObject& base = _PyWeakref_RefType;
    PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(copy_ref_dealloc)},
                           {Py_tp_traverse, reinterpret_cast<void*>(base.tp_traverse)},
                           {Py_tp_clear, reinterpret_cast<void*>(base.tp_clear)},
                           {0, nullptr}};
    state.copy_ref_tail = base.tp_basicsize;
    PyType_Spec spec = {"voxframe.copy_ref",
                        static_cast<int>(state.copy_ref_tail + sizeof(CopyRefTail)), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    Ref bases(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&base)));
    Ref type(bases ? PyType_FromSpecWithBases(&spec, bases.get()) : nullptr);
    Ref forget(type ? PyCFunction_New(&FORGET_COPY_DEF, nullptr) : nullptr);
    if (!forget)
        return false;
    state.copy_ref_type = reinterpret_cast<PyTypeObject*>(type.release());
    state.forget_copy = forget.release();
    return true;
}

// ---------------------------------------------------------------------------
// Exec, with the create step it follows

const char CLASS_DOC[] =
    "\n        This class needs to be compiled and deployed to the device from Yocto\n    ";
const char BYTES_TIMESTAMP_DOC[] =
    "\n            Take the RTP timestamp bytes, and return the value in ms\n"
    "        @param timestamp: QRTP stream timestamp bytes\n"
    "        @return: Timestamp value in ms\n"
    "        ";

int copy_found_attr(PyObject* found, PyObject* dict, const char* from, const char* to,
                    bool allow_none)
{
    Ref value(PyObject_GetAttrString(found, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    if (!allow_none && value.get() == Py_None)
        return 0;
    return PyDict_SetItemString(dict, to, value.get());
}

PyObject* module_create(PyObject* found, PyModuleDef*)
{
    const int64_t id = current_interpreter_id();
    if (!state.have_interpreter) {
        state.have_interpreter = true;
        state.interpreter_id = id;
    } else if (id != state.interpreter_id) {
        PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only "
                                           "be loaded into one interpreter per process.");
        return nullptr;
    }
    if (state.module != nullptr) {
        Py_INCREF(state.module);
        return state.module;
    }
    Ref name(PyObject_GetAttrString(found, "name"));
    if (!name)
        return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module)
        return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_found_attr(found, dict, "loader", "__loader__", true) < 0 ||
        copy_found_attr(found, dict, "origin", "__file__", true) < 0 ||
        copy_found_attr(found, dict, "parent", "__package__", true) < 0 ||
        copy_found_attr(found, dict, "submodule_search_locations", "__path__", false) < 0)
        return nullptr;
    return module.release();
}

bool check_version(int& line)
{
    char build[16];
    char running[4];
    PyOS_snprintf(build, sizeof(build), "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    PyOS_snprintf(running, sizeof(running), "%s", Py_GetVersion());
    if (build[0] != running[0] || build[2] != running[2]) {
        char message[200];
        PyOS_snprintf(message, sizeof(message),
                      "compiletime version %s of module '%.100s' does not match runtime version %s",
                      build, MODULE_NAME, running);
        CHECK(PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0);
    }
    return true;
}

// The module that `from module import name` (absolute) imports.
PyObject* import_for_from(const char* module, const char* name, PyObject* dict)
{
    Ref from_list(Py_BuildValue("[s]", name));
    return from_list ? PyImport_ImportModuleLevel(module, dict, nullptr, from_list.get(), 0)
                     : nullptr;
}

// from ctypes import *
bool import_ctypes_star(PyObject* dict, int& line)
{
    Ref ctypes(import_for_from("ctypes", "*", dict));
    CHECK(ctypes);
    bool skip_private = false;
    Ref names(PyObject_GetAttrString(ctypes.get(), "__all__"));
    if (!names) {
        CHECK(PyErr_ExceptionMatches(PyExc_AttributeError));
        PyErr_Clear();
        Ref ns(PyObject_GetAttrString(ctypes.get(), "__dict__"));
        if (!ns) {
            CHECK(PyErr_ExceptionMatches(PyExc_AttributeError));
            PyErr_SetString(PyExc_ImportError, "from-import-* object has no __dict__ and no __all__");
            CHECK(false);
        }
        names.reset(PyMapping_Keys(ns.get()));
        CHECK(names);
        skip_private = true;
    }
    Ref iter(PyObject_GetIter(names.get()));
    CHECK(iter);
    while (Ref name{PyIter_Next(iter.get())}) {
        if (skip_private) {
            CHECK(PyUnicode_Check(name.get()));
            if (PyUnicode_READ_CHAR(name.get(), 0) == '_')
                continue;
        }
        Ref value(PyObject_GetAttr(ctypes.get(), name.get()));
        CHECK(value);
        CHECK(PyDict_SetItem(dict, name.get(), value.get()) == 0);
    }
    CHECK(!PyErr_Occurred());
    return true;
}

// from typing import Union
bool import_union(PyObject* dict, int& line)
{
    Ref typing(import_for_from("typing", "Union", dict));
    CHECK(typing);
    Ref name(PyUnicode_FromString("Union"));
    CHECK(name);
    Ref value(PyObject_GetAttr(typing.get(), name.get()));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError))
            PyErr_Format(PyExc_ImportError, "cannot import name %S", name.get());
        CHECK(false);
    }
    CHECK(PyDict_SetItem(dict, name.get(), value.get()) == 0);
    return true;
}

PyObject* build_fields()
{
    Ref c_uint16(lookup_global("c_uint16")), c_uint8(lookup_global("c_uint8")),
        c_ubyte(lookup_global("c_ubyte")), c_uint32(lookup_global("c_uint32")),
        c_bool(lookup_global("c_bool")), pointer(lookup_global("POINTER"));
    if (!c_uint16 || !c_uint8 || !c_ubyte || !c_uint32 || !c_bool || !pointer)
        return nullptr;
    Ref four(PyLong_FromLong(4));
    if (!four)
        return nullptr;
    Ref stamp_array(PyNumber_Multiply(c_ubyte.get(), four.get()));
    if (!stamp_array)
        return nullptr;
    Ref data_pointer(PyObject_CallFunctionObjArgs(pointer.get(), c_ubyte.get(), nullptr));
    if (!data_pointer)
        return nullptr;
    return Py_BuildValue("[(sO)(sO)(sO)(sO)(sO)(sO)(sO)(sO)]", "sequence_number", c_uint16.get(),
                         "gpios", c_uint8.get(), "timestamp_bytes", stamp_array.get(),
                         "rtp_timestamp_ms", c_uint32.get(), "data", data_pointer.get(), "data_len",
                         c_uint16.get(), "replica", c_bool.get(), "timestamp_ms", c_uint32.get());
}

// Steals value.
bool set_item(PyObject* ns, const char* key, PyObject* value)
{
    Ref owned(value);
    Ref name(PyUnicode_FromString(key));
    return owned && name && PyObject_SetItem(ns, name.get(), owned.get()) == 0;
}

// Where the fields lie, for the direct stores; without a usable version tag there are none.
bool capture_layout(PyObject* cls, PyObject* structure, PyObject* convert_fn)
{
    Layout& at = state.layout;
    at.valid = false;
    bool fits = true;
    for (int field = P_SEQUENCE_NUMBER; field <= P_TIMESTAMP_MS; ++field) {
        Ref descriptor(PyObject_GetAttr(cls, state.names.param[field]));
        Ref offset(descriptor ? PyObject_GetAttrString(descriptor.get(), "offset") : nullptr);
        Ref size(offset ? PyObject_GetAttrString(descriptor.get(), "size") : nullptr);
        if (!size)
            return false;
        at.offset[field] = PyLong_AsSsize_t(offset.get());
        fits = fits && PyLong_AsSsize_t(size.get()) == FIELD_SIZES[field];
        if (PyErr_Occurred())
            return false;
    }
    Ref c_ubyte(lookup_global("c_ubyte"));
    if (!c_ubyte)
        return false;
    Py_XDECREF(at.type);
    Py_XDECREF(at.structure);
    Py_XDECREF(at.c_ubyte);
    Py_XDECREF(at.bytes_timestamp_fn);
    at.type = Ref::borrowed(cls).release();
    at.structure = Ref::borrowed(structure).release();
    at.c_ubyte = c_ubyte.release();
    at.bytes_timestamp_fn = Ref::borrowed(convert_fn).release();
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    at.version_tag = type->tp_version_tag;
    at.valid = fits && PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
    return true;
}

// get_data() reads ctypes instances' heads directly; a layout it does not know fails the import.
bool check_cdata_layout(PyObject* structure)
{
    const struct {
        const char* name;
        size_t offset;
    } members[] = {{"_objects", offsetof(CData, b_objects)},
                   {"_b_base_", offsetof(CData, b_base)},
                   {"_b_needsfree_", offsetof(CData, b_needsfree)}};
    for (const auto& member : members) {
        Ref descriptor(PyObject_GetAttrString(structure, member.name));
        if (!descriptor)
            return false;
        if (Py_TYPE(descriptor.get()) != &PyMemberDescr_Type ||
            reinterpret_cast<PyMemberDescrObject*>(descriptor.get())->d_member->offset !=
                static_cast<Py_ssize_t>(member.offset)) {
            PyErr_Format(PyExc_ImportError, "voxframe: ctypes instances hold %s elsewhere",
                         member.name);
            return false;
        }
    }
    return true;
}

// class VoxFrame(Structure): ... with the metaclass that Structure has.
bool build_class(PyObject* dict, int& line)
{
    Ref base(lookup_global(state.names.structure));
    CHECK(base);
    Ref bases(PyTuple_Pack(1, base.get()));
    CHECK(bases);
    Ref metaclass = Ref::borrowed(reinterpret_cast<PyObject*>(Py_TYPE(base.get())));
    Ref class_name(PyUnicode_FromString("VoxFrame"));
    CHECK(class_name);

    Ref ns;
    Ref prepare(PyObject_GetAttrString(metaclass.get(), "__prepare__"));
    if (prepare) {
        ns.reset(PyObject_CallFunctionObjArgs(prepare.get(), class_name.get(), bases.get(), nullptr));
    } else {
        CHECK(PyErr_ExceptionMatches(PyExc_AttributeError));
        PyErr_Clear();
        ns.reset(PyDict_New());
    }
    CHECK(ns);
    CHECK(set_item(ns.get(), "__module__", PyUnicode_FromString(MODULE_NAME)));
    CHECK(set_item(ns.get(), "__qualname__", PyUnicode_FromString("VoxFrame")));
    CHECK(set_item(ns.get(), "__doc__", PyUnicode_FromString(CLASS_DOC)));
    CHECK(set_item(ns.get(), "_fields_", build_fields()));

    CHECK(set_item(ns.get(), "__init__",
                   make_function(&INIT_DEF, nullptr,
                                 Py_BuildValue("(OOOO)", Py_None, Py_False, Py_None, Py_False),
                                 nullptr)));
    Ref convert_fn;
    {
        Ref union_type(lookup_global("Union"));
        CHECK(union_type);
        Ref members(PyTuple_Pack(2, reinterpret_cast<PyObject*>(&PyBytes_Type),
                                 reinterpret_cast<PyObject*>(&PyByteArray_Type)));
        CHECK(members);
        Ref annotation(PyObject_GetItem(union_type.get(), members.get()));
        CHECK(annotation);
        Ref function(make_function(&BYTES_TIMESTAMP_DEF, PyUnicode_FromString(BYTES_TIMESTAMP_DOC),
                                   nullptr,
                                   Py_BuildValue("{sO}", "timestamp", annotation.get())));
        CHECK(function);
        CHECK(set_item(ns.get(), "_bytes_timestamp_to_ms", PyStaticMethod_New(function.get())));
        convert_fn = std::move(function);
    }
    for (const FunctionDef& def : ACCESSOR_DEFS)
        CHECK(set_item(ns.get(), def.name, make_function(&def, nullptr, nullptr, nullptr)));

    // A __metaclass__ entry would win over the computed metaclass.
    Ref declared(PyMapping_GetItemString(ns.get(), "__metaclass__"));
    if (declared) {
        metaclass = std::move(declared);
    } else {
        CHECK(PyErr_ExceptionMatches(PyExc_KeyError));
        PyErr_Clear();
    }
    Ref cls(PyObject_CallFunctionObjArgs(metaclass.get(), class_name.get(), bases.get(), ns.get(),
                                         nullptr));
    CHECK(cls);
    CHECK(PyDict_SetItem(dict, class_name.get(), cls.get()) == 0);

    // The field's type decides which records take the bounded get_data().
    Ref fields(PyObject_GetAttrString(cls.get(), "_fields_"));
    CHECK(fields);
    Ref data_entry(PySequence_GetItem(fields.get(), P_DATA - 1));
    CHECK(data_entry);
    Ref data_type(PySequence_GetItem(data_entry.get(), 1));
    CHECK(data_type);
    Py_XDECREF(state.ubyte_pointer);
    state.ubyte_pointer = data_type.release();
    state.ctypes_getbuffer = reinterpret_cast<PyTypeObject*>(cls.get())->tp_as_buffer->bf_getbuffer;
    CHECK(check_cdata_layout(base.get()));
    CHECK(capture_layout(cls.get(), base.get(), convert_fn.get()));
    return true;
}

bool module_body(PyObject* module, int& line)
{
    PyObject* dict = PyModule_GetDict(module);
    CHECK(check_version(line));

    PyObject* builtins = PyImport_AddModule("builtins");
    CHECK(builtins);
    CHECK(PyDict_SetItemString(dict, "__builtins__", builtins) == 0);
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* present = PyDict_GetItemString(modules, MODULE_NAME);
    if (present == nullptr)
        CHECK(PyDict_SetItemString(modules, MODULE_NAME, module) == 0);

    CHECK(import_ctypes_star(dict, line));
    CHECK(import_union(dict, line));
    CHECK(build_class(dict, line));
    CHECK(set_item(dict, "__test__", PyDict_New()));
    return true;
}

int module_exec(PyObject* module)
{
    if (state.module != nullptr) {
        if (state.module == module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError, "Module 'voxframe' has already been imported. "
                                            "Re-initialisation is not supported.");
        add_traceback("init voxframe", __LINE__, PyModule_GetDict(module));
        return -1;
    }
    int line = __LINE__;
    bool ok = make_names() && PyType_Ready(&FunctionType) == 0 && make_copy_ref_type();
    if (ok && state.int_from_bytes == nullptr) {
        state.int_from_bytes =
            PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyLong_Type), "from_bytes");
        ok = state.int_from_bytes != nullptr;
    }
    if (ok) {
        state.module = Ref::borrowed(module).release();
        PyObject* dict = PyModule_GetDict(module);
        Py_XDECREF(state.globals);
        state.globals = Ref::borrowed(dict).release();
        ok = module_body(module, line);
    }
    if (ok)
        return 0;
    if (state.module != nullptr) {
        add_traceback("init voxframe", line, PyModule_GetDict(state.module));
        Py_CLEAR(state.module);
        Py_CLEAR(state.globals);
    }
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_ImportError, "init voxframe");
    return -1;
}

#undef CHECK

// ---------------------------------------------------------------------------
// Slots

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// Module definition

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    MODULE_NAME,  // m_name
    nullptr,      // m_doc
    0,            // m_size: the state above is process-wide, not per module object
    nullptr,      // m_methods
    module_slots, // m_slots
    nullptr,      // m_traverse
    nullptr,      // m_clear
    nullptr,      // m_free
};

} // namespace

// ---------------------------------------------------------------------------
// Init

extern "C" PyMODINIT_FUNC PyInit_voxframe(void)
{
    return PyModuleDef_Init(&module_def);
}
