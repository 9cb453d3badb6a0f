// format_check.cpp: buffer format strings against an element descriptor.
//
// The string is read from its start: white space and ":field names:" are
// skipped, byte-order characters set the mode (native sizes for '@' and '^',
// standard sizes for '=' and '<'; big-endian is refused), and each type
// character describes one element with a group and a size. Exactly one
// element may be described, and it must be a real of 8 bytes. Structures and
// sub-arrays never match.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "frame/format_check.hpp"

#include <cctype>
#include <cstddef>

namespace accel::frame {
namespace {

enum class Group { real, complex, integer, other };

struct TypeChar {
    Group group;
    std::size_t size;          // bytes; 0 when the mode gives it no size
    const char *description;   // as mismatch messages name it
};

/// The element a type character describes, or false for a character outside
/// the format alphabet. `native` selects native or standard sizes.
bool describe(char c, bool native, bool complex, TypeChar &out)
{
    auto real = [&](std::size_t size, const char *plain, const char *with_z) {
        out = complex ? TypeChar{Group::complex, 2 * size, with_z}
                      : TypeChar{Group::real, size, plain};
        return true;
    };
    auto integer = [&](std::size_t size, const char *description) {
        out = {Group::integer, size, description};
        return true;
    };
    switch (c) {
    case 'f': return real(4, "'float'", "'complex float'");
    case 'd': return real(8, "'double'", "'complex double'");
    case 'g': return real(native ? sizeof(long double) : 0, "'long double'",
                          "'complex long double'");
    case '?': return integer(1, "'bool'");
    case 'c': return integer(1, "'char'");
    case 'b': return integer(1, "'signed char'");
    case 'B': return integer(1, "'unsigned char'");
    case 'h': return integer(sizeof(short), "'short'");
    case 'H': return integer(sizeof(short), "'unsigned short'");
    case 'i': return integer(sizeof(int), "'int'");
    case 'I': return integer(sizeof(int), "'unsigned int'");
    case 'l': return integer(native ? sizeof(long) : 4, "'long'");
    case 'L': return integer(native ? sizeof(long) : 4, "'unsigned long'");
    case 'q': return integer(sizeof(long long), "'long long'");
    case 'Q': return integer(sizeof(long long), "'unsigned long long'");
    case 'O': return integer(sizeof(void *), "Python object");
    case 'P': return integer(sizeof(void *), "a pointer");
    case 's':
    case 'p': return integer(1, "a string");
    case 'e': return integer(2, "unparsable format string");
    case 'n':
    case 'N': return integer(sizeof(Py_ssize_t), "unparsable format string");
    case 'x': return integer(1, "unparsable format string");
    default: return false;
    }
}

bool mismatch(const ElementType &element, const char *found)
{
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                 element.name, "'", found);
    return false;
}

bool mismatch_after_end(const char *found)
{
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "",
                 "end", "", found);
    return false;
}

bool not_understood(char c)
{
    PyErr_Format(PyExc_ValueError,
                 "Does not understand character buffer dtype format string ('%c')", c);
    return false;
}

/// A sub-array shape that stops where a number or separator should be.
bool unexpected_in_shape(char c)
{
    if (c == '\0')
        PyErr_SetString(PyExc_ValueError, "Unexpected end of format string, expected ')'");
    else
        PyErr_Format(PyExc_ValueError, "Expected a comma in format string, got '%c'", c);
    return false;
}

/// Reads a sub-array shape "(n,m,...)" starting at '(' and refuses it: the
/// element descriptor has no dimensions.
bool refuse_subarray(const char *&p)
{
    int dims = 0;
    ++p;   // '('
    for (;;) {
        while (*p == ' ')
            ++p;
        if (!std::isdigit(static_cast<unsigned char>(*p))) {
            return unexpected_in_shape(*p);
        }
        while (std::isdigit(static_cast<unsigned char>(*p)))
            ++p;
        ++dims;
        while (*p == ' ')
            ++p;
        if (*p == ')')
            break;
        if (*p != ',') {
            return unexpected_in_shape(*p);
        }
        ++p;
    }
    PyErr_Format(PyExc_ValueError, "Expected %d dimension(s), got %d", 0, dims);
    return false;
}

}  // namespace

bool check_format(const char *format, const ElementType &element)
{
    const char *p = format ? format : "B";
    bool native = true;
    bool matched = false;
    for (;;) {
        const char c = *p;
        switch (c) {
        case '\0':
            return matched || mismatch(element, "end");
        case ' ':
        case '\n':
        case '\r':
        case '\t':
            ++p;
            continue;
        case ':': {   // a field name, up to the next colon
            const char *close = p + 1;
            while (*close && *close != ':')
                ++close;
            if (!*close)
                return not_understood(c);
            p = close + 1;
            continue;
        }
        case '@':
        case '^':
            native = true;
            ++p;
            continue;
        case '=':
        case '<':
            native = false;
            ++p;
            continue;
        case '>':
        case '!':
            PyErr_SetString(PyExc_ValueError,
                            "Big-endian buffer not supported on little-endian compiler");
            return false;
        case 'T':
            if (p[1] != '{') {
                PyErr_SetString(PyExc_ValueError, "Buffer acquisition: Expected '{' after 'T'");
                return false;
            }
            return matched ? mismatch_after_end("a struct") : mismatch(element, "a struct");
        case '(':
            return refuse_subarray(p);
        default:
            break;
        }

        // An element: an optional repeat count, an optional 'Z', a type character.
        long count = 1;
        if (std::isdigit(static_cast<unsigned char>(c))) {
            count = 0;
            while (std::isdigit(static_cast<unsigned char>(*p)) && count < 1000000)
                count = count * 10 + (*p++ - '0');
            while (std::isdigit(static_cast<unsigned char>(*p)))
                ++p;
        }
        bool complex = false;
        if (*p == 'Z') {
            complex = true;
            ++p;
            if (*p != 'f' && *p != 'd' && *p != 'g') {
                PyErr_Format(PyExc_ValueError, "Unexpected format string character: '%c'",
                             'Z');
                return false;
            }
        }
        TypeChar type;
        if (*p == '\0')
            return not_understood(c);
        if (!describe(*p, native, complex, type))
            return not_understood(*p);
        if (*p == 'g' && !native) {
            PyErr_SetString(PyExc_ValueError,
                            "Python does not define a standard format string size for long "
                            "double ('g')..");
            return false;
        }
        ++p;
        if (count == 0)
            continue;   // describes no element
        if (matched)
            return mismatch_after_end(type.description);
        if (type.group != Group::real || type.size != 8)
            return mismatch(element, type.description);
        matched = true;
        if (count > 1)   // the repeats are further elements
            return mismatch_after_end(type.description);
    }
}

}  // namespace accel::frame
