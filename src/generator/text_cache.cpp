// Statement texts repeat: one query shape gives the same text on every call,
// only the arguments change. Handing back the same str object each time keeps
// its hash cached, so the connector's placeholder cache and the driver's
// statement cache find it without hashing a new string, and no str is made.
#include <cstdint>
#include <cstring>

#include "internal.hpp"

namespace tsy::gen {
namespace {

constexpr std::size_t kSlots = 256;       // direct-mapped: a collision only costs a new str
constexpr std::size_t kLongest = 2048;    // longer texts are rarely repeated exactly

PyObject* slots[kSlots] = {};

// Not a general-purpose hash: cheap, and enough to spread the few shapes an
// application builds over the slots. Equality is checked byte by byte.
std::size_t slot_of(std::string_view text) noexcept {
    std::uint64_t h = text.size() * 0x9E3779B97F4A7C15ULL;
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        h = (h ^ word) * 0x100000001B3ULL;
        h ^= h >> 29;
    }
    for (; i < text.size(); ++i) h = (h ^ static_cast<unsigned char>(text[i])) * 0x100000001B3ULL;
    return static_cast<std::size_t>(h ^ (h >> 32)) % kSlots;
}

bool holds(PyObject* s, std::string_view text) noexcept {
    return s && static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)) == text.size() &&
           std::memcmp(PyUnicode_DATA(s), text.data(), text.size()) == 0;
}

Ref new_ascii(std::string_view text) noexcept {
    Ref s = steal(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
    if (s) std::memcpy(PyUnicode_DATA(s.get()), text.data(), text.size());
    return s;
}

}  // namespace

Ref shared_ascii_text(std::string_view text) noexcept {
    if (text.size() > kLongest) return new_ascii(text);
    PyObject*& slot = slots[slot_of(text)];
    if (holds(slot, text)) return borrow(slot);
    Ref s = new_ascii(text);
    if (s) Py_XSETREF(slot, Py_NewRef(s.get()));
    return s;
}

void clear_shared_texts() noexcept {
    for (PyObject*& slot : slots) Py_CLEAR(slot);
}

}  // namespace tsy::gen
