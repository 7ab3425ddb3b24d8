// The UTF-8 writer the pages are made with: text appended as UTF-8 into one growing buffer, with
// the page's HTML escaping, or the escaping of a JSON string inside a script element, done on the
// way, sixteen bytes at a time where the text is ASCII.
#pragma once

#include <Python.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace pelorix::diffpage {

// Text written as UTF-8, lone surrogates included as the "surrogatepass" handler writes them
// (decoding them back the same way gives the same str, and whether any occurred is recorded).
class Utf8 {
public:
    bool surrogates = false;

    std::string_view view() const { return {buf_.get(), size_}; }
    bool empty() const { return size_ == 0; }
    // Room reserved is only address space until it is written.
    void reserve(std::size_t n) {
        if (n > capacity_) grow(n);
    }
    void raw(std::string_view s) {
        if (s.empty()) return;  // an empty view, or an empty writer's, may hold no pointer at all
        std::memcpy(room(s.size()), s.data(), s.size());
        size_ += s.size();
    }
    // Text that was written by another writer, surrogates and all.
    void append(const Utf8& other) {
        raw(other.view());
        surrogates |= other.surrogates;
    }
    // s[from:to] (code points of a str), escaped as _escape_html escapes or as it stands.
    void text(PyObject* s, Py_ssize_t from, Py_ssize_t to, bool escape) {
        const auto n = static_cast<std::size_t>(to - from);
        char* p = room(5 * n + 16);  // no code point takes more than five bytes, escaped or not
        if (PyUnicode_IS_ASCII(s)) {
            const char* data = static_cast<const char*>(PyUnicode_DATA(s)) + from;
            p = escape ? ascii_escaped(p, data, n) : std::copy_n(data, n, p);
        } else {
            const int kind = PyUnicode_KIND(s);
            const void* data = PyUnicode_DATA(s);
            for (Py_ssize_t i = from; i < to; ++i) {
                const Py_UCS4 c = PyUnicode_READ(kind, data, i);
                p = c < 0x80 && escape ? put_ascii(p, static_cast<unsigned char>(c)) : put(p, c);
            }
        }
        size_ = static_cast<std::size_t>(p - buf_.get());
    }
    void text(PyObject* s, bool escape) { text(s, 0, PyUnicode_GET_LENGTH(s), escape); }

    // s[from:to] as the inside of a JSON string that stands in an HTML script element: quote,
    // backslash and control characters escaped as JSON requires, and "<" (which could close the
    // element or open a comment) and the two line separators as \uXXXX too, so the element
    // holds no "<" and the HTML parser changes nothing in it.  Returns the text's length in
    // UTF-16 code units, as JavaScript counts it.
    std::size_t json(PyObject* s, Py_ssize_t from, Py_ssize_t to) {
        const auto n = static_cast<std::size_t>(to - from);
        char* p = room(6 * n + 16);  // no code point takes more than six bytes
        if (PyUnicode_IS_ASCII(s)) {
            p = ascii_json(p, static_cast<const char*>(PyUnicode_DATA(s)) + from, n);
            size_ = static_cast<std::size_t>(p - buf_.get());
            return n;
        }
        std::size_t units = n;
        const int kind = PyUnicode_KIND(s);
        const void* data = PyUnicode_DATA(s);
        for (Py_ssize_t i = from; i < to; ++i) {
            const Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (c < 0x80) {
                p = put_json(p, static_cast<unsigned char>(c));
            } else if (c == 0x2028 || c == 0x2029) {
                p = std::copy_n(c == 0x2028 ? "\\u2028" : "\\u2029", 6, p);
            } else {
                units += c > 0xFFFF;
                p = put(p, c);
            }
        }
        size_ = static_cast<std::size_t>(p - buf_.get());
        return units;
    }
    std::size_t json(PyObject* s) { return json(s, 0, PyUnicode_GET_LENGTH(s)); }

private:
    // Space for n more bytes at the end; valid until the next call.
    char* room(std::size_t n) {
        if (size_ + n > capacity_) grow(std::max(2 * capacity_, size_ + n));
        return buf_.get() + size_;
    }
    void grow(std::size_t capacity) {
        char* moved = static_cast<char*>(std::realloc(buf_.get(), capacity));
        if (!moved) throw std::bad_alloc();
        static_cast<void>(buf_.release());
        buf_.reset(moved);
        capacity_ = capacity;
        // A page of text is megabytes written front to back: large pages spare the faults.
        constexpr std::uintptr_t huge = std::uintptr_t{1} << 21;
        const auto begin = (reinterpret_cast<std::uintptr_t>(moved) + huge - 1) & ~(huge - 1);
        const auto end = (reinterpret_cast<std::uintptr_t>(moved) + capacity) & ~(huge - 1);
        if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    }
    static char* put_ascii(char* p, unsigned char c) {
        switch (c) {
            case '&':
                return std::copy_n("&amp;", 5, p);
            case '<':
                return std::copy_n("&lt;", 4, p);
            case '>':
                return std::copy_n("&gt;", 4, p);
            default:
                *p = static_cast<char>(c);
                return p + 1;
        }
    }
    static char* put_json(char* p, unsigned char c) {
        static constexpr char hex[] = "0123456789abcdef";
        switch (c) {
            case '"':
                return std::copy_n("\\\"", 2, p);
            case '\\':
                return std::copy_n("\\\\", 2, p);
            case '<':
                return std::copy_n("\\u003c", 6, p);
            case '\n':
                return std::copy_n("\\n", 2, p);
            case '\r':
                return std::copy_n("\\r", 2, p);
            case '\t':
                return std::copy_n("\\t", 2, p);
            default:
                if (c >= 0x20) {
                    *p = static_cast<char>(c);
                    return p + 1;
                }
                p = std::copy_n("\\u00", 4, p);
                *p++ = hex[c >> 4];
                *p++ = hex[c & 15];
                return p;
        }
    }
    // As ascii_escaped, for JSON: sixteen bytes at a time while none is a quote, a backslash, a
    // "<" or a control character.
    static char* ascii_json(char* p, const char* data, std::size_t n) {
        std::size_t i = 0;
#ifdef __SSE2__
        const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'),
                      lt = _mm_set1_epi8('<'), space = _mm_set1_epi8(' ');
        for (; i + 16 <= n; i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
            // ASCII bytes are below 0x80, so the signed comparison with ' ' finds the controls
            const __m128i special =
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                             _mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmplt_epi8(v, space)));
            if (_mm_movemask_epi8(special) == 0) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
                p += 16;
                continue;
            }
            for (std::size_t k = i; k < i + 16; ++k)
                p = put_json(p, static_cast<unsigned char>(data[k]));
        }
#endif
        for (; i < n; ++i) p = put_json(p, static_cast<unsigned char>(data[i]));
        return p;
    }

    // Sixteen, then eight bytes at a time while none of them needs escaping (the room asked for
    // leaves sixteen spare bytes).
    static char* ascii_escaped(char* p, const char* data, std::size_t n) {
        constexpr std::uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
        auto has = [](std::uint64_t w, unsigned char c) {
            const std::uint64_t x = w ^ (ones * c);
            return (x - ones) & ~x & highs;
        };
        std::size_t i = 0;
#ifdef __SSE2__
        const __m128i amp = _mm_set1_epi8('&'), lt = _mm_set1_epi8('<'), gt = _mm_set1_epi8('>');
        for (; i + 16 <= n; i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
            const __m128i special = _mm_or_si128(
                _mm_or_si128(_mm_cmpeq_epi8(v, amp), _mm_cmpeq_epi8(v, lt)), _mm_cmpeq_epi8(v, gt));
            if (_mm_movemask_epi8(special) == 0) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
                p += 16;
                continue;
            }
            for (std::size_t k = i; k < i + 16; ++k)
                p = put_ascii(p, static_cast<unsigned char>(data[k]));
        }
#endif
        for (; i + 8 <= n; i += 8) {
            std::uint64_t w;
            std::memcpy(&w, data + i, 8);
            if (!(has(w, '&') | has(w, '<') | has(w, '>'))) {
                std::memcpy(p, &w, 8);
                p += 8;
                continue;
            }
            for (std::size_t k = i; k < i + 8; ++k)
                p = put_ascii(p, static_cast<unsigned char>(data[k]));
        }
        if (i < n && n >= 8) {
            // the last eight bytes, overlapping ones already written: when none of them needs
            // escaping, the overlap was copied as it is and may be copied again
            std::uint64_t w;
            std::memcpy(&w, data + n - 8, 8);
            if (!(has(w, '&') | has(w, '<') | has(w, '>'))) {
                std::memcpy(p - (8 - (n - i)), &w, 8);
                return p + (n - i);
            }
        }
        for (; i < n; ++i) p = put_ascii(p, static_cast<unsigned char>(data[i]));
        return p;
    }
    char* put(char* p, Py_UCS4 c) {
        if (c < 0x80) {
            *p++ = static_cast<char>(c);
        } else if (c < 0x800) {
            *p++ = static_cast<char>(0xC0 | (c >> 6));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            surrogates |= c >= 0xD800 && c <= 0xDFFF;
            *p++ = static_cast<char>(0xE0 | (c >> 12));
            *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *p++ = static_cast<char>(0xF0 | (c >> 18));
            *p++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        }
        return p;
    }

    struct Free {
        void operator()(char* p) const { std::free(p); }
    };
    std::unique_ptr<char, Free> buf_;  // bytes [0, size_) are written
    std::size_t size_ = 0, capacity_ = 0;
};

// The length of s[from:to] (code points of a str) in UTF-16 code units, as JavaScript counts it.
inline std::size_t utf16_length(PyObject* s, Py_ssize_t from, Py_ssize_t to) {
    auto n = static_cast<std::size_t>(to - from);
    if (PyUnicode_KIND(s) != PyUnicode_4BYTE_KIND) return n;
    const Py_UCS4* data = PyUnicode_4BYTE_DATA(s);
    for (Py_ssize_t i = from; i < to; ++i) n += data[i] > 0xFFFF;
    return n;
}

}  // namespace pelorix::diffpage
