// Text-like tags: regular expressions (tag 35) and MIME messages (tag 36).
#include "tags.hpp"

#include <algorithm>
#include <cstring>

namespace vantra {
namespace {

LazyImport re_compile("re", "compile");
LazyImport message_from_string("email", "message_from_string");

// The flags that compiling a pattern's text alone gives: the pattern's own
// when every flag it has is written inline in its text ("(?i)a"), as tag 35
// holds the text and nothing more. Null, with no error set, when the text
// alone does not compile (a verbose pattern's comment).
py::object flags_of_text(PyObject *text) {
    py::object re = py::reinterpret_steal<py::object>(PyImport_ImportModule("re"));  // imported: a Pattern exists
    if (!re) raise_python_error();
    py::object compiled = py::reinterpret_steal<py::object>(PyObject_CallMethod(re.ptr(), "compile", "O", text));
    if (!compiled) {
        clear_ordinary_error();
        return py::object();
    }
    return attribute_of(compiled.ptr(), "flags");
}

// Why a pattern cannot be written, or "" when it can.
std::string pattern_fault(PyObject *pattern) {
    py::object text = attribute_of(pattern, "pattern");
    if (!PyUnicode_Check(text.ptr())) return " (a bytes pattern: tag 35 holds text)";
    py::object flags = attribute_of(pattern, "flags");
    py::object own = flags_of_text(text.ptr());
    int same = own ? PyObject_RichCompareBool(flags.ptr(), own.ptr(), Py_EQ) : 0;
    if (same < 0) raise_python_error();
    if (!same) return " (flags that its text does not hold, which tag 35 cannot carry: write them inline, as in '(?i)')";
    return "";
}

// The message as its as_string() writes it, under its own policy; null
// with the error kept in reason (its type and text) when as_string() fails
// as a message whose policy cannot fold a header does.
py::object message_text(PyObject *message, std::string *reason) {
    py::object text = py::reinterpret_steal<py::object>(PyObject_CallMethod(message, "as_string", nullptr));
    if (text) {
        if (!PyUnicode_Check(text.ptr())) {
            refuse(CBOREncodeTypeError, "cannot encode a Message whose as_string() returns " + type_name(text.ptr()));
        }
        return text;
    }
    if (!is_ordinary_error()) raise_python_error();
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    py::object error = py::reinterpret_steal<py::object>(value);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    if (reason && error) {
        py::object words = py::reinterpret_steal<py::object>(PyObject_Str(error.ptr()));
        if (!words) raise_python_error();
        *reason = std::string(Py_TYPE(error.ptr())->tp_name) + ": " + utf8_of(words.ptr());
    }
    return py::object();
}

// Patterns are refused past this depth of nested groups: compiling one
// recurses per level, in interpreters before 3.11 on the thread's stack
// (some 800 bytes a level), which no recursion limit guards in a small one.
constexpr int kPatternDepth = 50;

// How deeply a pattern's text nests its groups, or more: parentheses that
// are not escaped nor in a character class, counted as re reads them; in a
// text that may hold verbose comments (a '#'), where classes cannot be told,
// every parenthesis that is not escaped.
int group_depth(const char *s, size_t n) {
    bool comments = std::memchr(s, '#', n) != nullptr;
    int depth = 0, deepest = 0;
    for (size_t i = 0; i < n; ++i) {
        char c = s[i];
        if (c == '\\') {
            ++i;
        } else if (c == '(') {
            deepest = std::max(deepest, ++depth);
        } else if (comments) {
            continue;
        } else if (c == ')') {
            depth = std::max(0, depth - 1);
        } else if (c == '[') {
            // A class ends at the first ']' past its first character (after a '^').
            size_t j = i + 1;
            if (j < n && s[j] == '^') ++j;
            if (j < n && s[j] == ']') ++j;
            for (; j < n && s[j] != ']'; ++j) {
                if (s[j] == '\\') ++j;
            }
            i = j;
        }
    }
    return deepest;
}

PyObject *call_with(Decoder &decoder, LazyImport &function, const char *module, const unsigned char *at,
                    uint64_t number, PyObject *arg) {
    PyObject *call = function.get(decoder);
    if (!call) return import_failed(decoder, at, number, module);
    return PyObject_CallFunctionObjArgs(call, arg, nullptr);
}

}  // namespace

LazyType pattern_type{"re", "Pattern", nullptr};
LazyType message_type{"email.message", "Message", nullptr};

// A pattern whose flags are all in its text, as the text; others are not
// written (a bytes pattern, or flags given to compile()).
Leaf write_pattern(const WriteArgs &args, PyObject *obj) {
    if (!is_instance(obj, pattern_type)) return Leaf::kNotMine;
    if (!pattern_fault(obj).empty()) return Leaf::kUnsupported;
    py::object text = attribute_of(obj, "pattern");
    write_head(args.sink, kTagMajor, 35);
    write_str_or_refuse(args.sink, text.ptr());
    return Leaf::kWritten;
}

std::string pattern_note(PyObject *obj) { return is_instance(obj, pattern_type) ? pattern_fault(obj) : ""; }

// Tag 36 over the message's text; one that as_string() refuses is not written.
Leaf write_mime(const WriteArgs &args, PyObject *obj) {
    if (!is_instance(obj, message_type)) return Leaf::kNotMine;
    py::object text = message_text(obj, nullptr);
    if (!text) return Leaf::kUnsupported;
    write_head(args.sink, kTagMajor, 36);
    write_str_or_refuse(args.sink, text.ptr());
    return Leaf::kWritten;
}

std::string message_note(PyObject *obj) {
    std::string reason;
    if (!is_instance(obj, message_type) || message_text(obj, &reason)) return "";
    return " (its as_string() fails: " + reason + ")";
}

// Tag 35: the text compiled by re (and, as other encoders write them, a byte
// string as a bytes pattern); text that re refuses is malformed content.
PyObject *read_regex(Decoder &decoder, uint64_t number, Place) {
    const unsigned char *at = decoder.cursor();
    Ref content(decoder.item(Place::kValue));
    if (!content) return nullptr;
    PyObject *c = content.get();
    const char *text;
    Py_ssize_t size;
    if (PyUnicode_CheckExact(c)) {
        if (!(text = PyUnicode_AsUTF8AndSize(c, &size))) {  // lone surrogates (str_errors="surrogateescape")
            return is_ordinary_error() ? decoder.fail_from_error(at, "tag 35 content is not a regular expression")
                                       : nullptr;
        }
    } else if (PyBytes_CheckExact(c)) {
        text = PyBytes_AS_STRING(c);
        size = PyBytes_GET_SIZE(c);
    } else {
        return decoder.fail(at, "tag 35 content is not a text string");
    }
    if (group_depth(text, (size_t)size) > kPatternDepth) {
        return decoder.fail(at, "tag 35 pattern nests groups deeper than %d", kPatternDepth);
    }
    if (!decoder.import_room()) return nullptr;  // re's parser recurses
    PyObject *value = call_with(decoder, re_compile, "re", at, number, content.get());
    if (!value && is_ordinary_error()) return decoder.fail_from_error(at, "tag 35 content is not a regular expression");
    return value;
}

// Tag 36: the text parsed as email.message_from_string() parses it (the
// compat32 policy), an email.message.Message.
PyObject *read_mime(Decoder &decoder, uint64_t number, Place) {
    const unsigned char *at = decoder.cursor();
    Ref content(decoder.item(Place::kValue));
    if (!content) return nullptr;
    if (!PyUnicode_CheckExact(content.get())) return decoder.fail(at, "tag 36 content is not a text string");
    if (!decoder.import_room()) return nullptr;  // the parser recurses into nested parts
    PyObject *value = call_with(decoder, message_from_string, "email", at, number, content.get());
    if (!value && is_ordinary_error()) return decoder.fail_from_error(at, "tag 36 content is not a MIME message");
    return value;
}

}  // namespace vantra
