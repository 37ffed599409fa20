// Identifiers and addresses: UUIDs (tag 37), IP addresses, networks and
// interfaces (RFC 9164 tags 52 and 54; the older 260 and 261 are read too).
#include "tags.hpp"

#include <string>

namespace vantra {
namespace {

LazyImport uuid_class("uuid", "UUID");

// The ipaddress classes of one IP version.
struct IpClasses {
    int tag;
    size_t size;  // of an address, in bytes
    LazyImport address, network, interface;
};
IpClasses ipv4{52, 4, {"ipaddress", "IPv4Address"}, {"ipaddress", "IPv4Network"}, {"ipaddress", "IPv4Interface"}};
IpClasses ipv6{54, 16, {"ipaddress", "IPv6Address"}, {"ipaddress", "IPv6Network"}, {"ipaddress", "IPv6Interface"}};

// Tag 37 over the 16 bytes of its int.
int write_uuid_bytes(Sink *sink, PyObject *obj) {
    static PyObject *name_int = PyUnicode_InternFromString("int");
    py::object value = py::reinterpret_steal<py::object>(name_int ? PyObject_GetAttr(obj, name_int) : nullptr);
    if (!value) raise_python_error();
    if (!PyLong_Check(value.ptr())) refuse(CBOREncodeTypeError, "cannot encode a UUID whose int is of type " + type_name(value.ptr()));
    py::object shift = py::reinterpret_steal<py::object>(PyLong_FromLong(64));
    py::object high = py::reinterpret_steal<py::object>(shift ? PyNumber_Rshift(value.ptr(), shift.ptr()) : nullptr);
    if (!high) raise_python_error();
    unsigned long long low = PyLong_AsUnsignedLongLongMask(value.ptr());
    unsigned long long top = PyLong_AsUnsignedLongLong(high.ptr());
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) raise_python_error();
        PyErr_Clear();
        refuse(CBOREncodeValueError, "cannot encode a UUID whose int is not from 0 to 2**128-1");
    }
    unsigned char bytes[16];
    cbor_inline::store64(bytes, top);
    cbor_inline::store64(bytes + 8, low);
    write_head(sink, kTagMajor, 37);
    write_text_copy(sink, kBytesMajor, bytes, sizeof bytes);
    return 0;
}


// ---- IP addresses --------------------------------------------------------------------

// A zone (an IPv6 scope) as RFC 9164 writes it: an interface index as an
// unsigned int when the text is one written plainly, any other as the bytes
// of its name.
void write_zone(Sink *sink, PyObject *zone) {
    if (!PyUnicode_Check(zone)) refuse(CBOREncodeTypeError, "cannot encode an IPv6 zone of type " + type_name(zone));
    Py_ssize_t size;
    const char *text = PyUnicode_AsUTF8AndSize(zone, &size);
    if (!text) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) raise_python_error();
        PyErr_Clear();
        refuse(CBOREncodeValueError, "cannot encode an IPv6 zone that UTF-8 cannot hold");
    }
    bool index = size > 0 && size <= 19 && (text[0] != '0' || size == 1);
    unsigned long long value = 0;
    for (Py_ssize_t i = 0; index && i < size; ++i) {
        index = text[i] >= '0' && text[i] <= '9';
        value = value * 10 + (unsigned long long)(text[i] - '0');
    }
    if (index) {
        checked(cbor_inline::write_uint(sink, value));
    } else {
        write_text_copy(sink, kBytesMajor, text, (size_t)size);
    }
}

// The address bytes of an ipaddress object: exactly size of them.
py::object packed_of(PyObject *address, size_t size) {
    py::object packed = attribute_of(address, "packed");
    if (!PyBytes_Check(packed.ptr()) || (size_t)PyBytes_GET_SIZE(packed.ptr()) != size) {
        refuse(CBOREncodeTypeError, "cannot encode an IP address whose packed form is not " + std::to_string(size) + " bytes");
    }
    return packed;
}

unsigned long prefix_of(PyObject *network, size_t size) {
    py::object length = attribute_of(network, "prefixlen");
    unsigned long prefix = PyLong_Check(length.ptr()) ? PyLong_AsUnsignedLong(length.ptr()) : (unsigned long)-1;
    if (prefix == (unsigned long)-1 && PyErr_Occurred()) PyErr_Clear();
    if (prefix > size * 8) refuse(CBOREncodeValueError, "cannot encode an IP network whose prefix length is out of range");
    return prefix;
}

// An IPv6 address's zone, or None (always None before Python 3.9, which has none).
py::object zone_of(PyObject *address) {
#if PY_VERSION_HEX >= 0x03090000
    return attribute_of(address, "scope_id");
#else
    (void)address;
    return py::none();
#endif
}

// 52 or 54 over: an address's bytes; a network's [prefix length, its bytes
// without trailing zero bytes]; an interface's [address bytes, prefix
// length]; an address or interface with a zone [bytes, prefix length or
// null, zone].
Leaf write_ip_address(Sink *sink, PyObject *obj) {
    bool v6 = is_instance(obj, ipv6_network_type) || is_instance(obj, ipv6_address_type);
    size_t size = v6 ? 16 : 4;
    if (is_instance(obj, ipv4_network_type) || is_instance(obj, ipv6_network_type)) {
        py::object first = attribute_of(obj, "network_address");
        if (v6 && zone_of(first.ptr()).ptr() != Py_None) return Leaf::kUnsupported;
        py::object packed = packed_of(first.ptr(), size);
        unsigned long prefix = prefix_of(obj, size);
        const char *bytes = PyBytes_AS_STRING(packed.ptr());
        size_t used = size;
        while (used > 0 && bytes[used - 1] == 0) --used;
        write_head(sink, kTagMajor, v6 ? 54 : 52);
        checked(cbor_inline::write_counted_head(sink, kArray, 2));
        checked(cbor_inline::write_uint(sink, prefix));
        write_text_copy(sink, kBytesMajor, bytes, used);
        return Leaf::kWritten;
    }
    py::object packed = packed_of(obj, size);
    bool interface = is_instance(obj, v6 ? ipv6_interface_type : ipv4_interface_type);
    py::object zone = v6 ? zone_of(obj) : py::none();
    unsigned long prefix = 0;
    if (interface) prefix = prefix_of(attribute_of(obj, "network").ptr(), size);
    write_head(sink, kTagMajor, v6 ? 54 : 52);
    if (interface || zone.ptr() != Py_None) {
        checked(cbor_inline::write_counted_head(sink, kArray, zone.ptr() != Py_None ? 3 : 2));
    }
    write_text_copy(sink, kBytesMajor, PyBytes_AS_STRING(packed.ptr()), size);
    if (interface) {
        checked(cbor_inline::write_uint(sink, prefix));
    } else if (zone.ptr() != Py_None) {
        checked(cbor_inline::write_byte(sink, 0xf6));
    }
    if (zone.ptr() != Py_None) write_zone(sink, zone.ptr());
    return Leaf::kWritten;
}

}  // namespace

LazyType ipv4_address_type{"ipaddress", "IPv4Address", nullptr};
LazyType ipv6_address_type{"ipaddress", "IPv6Address", nullptr};
LazyType ipv4_network_type{"ipaddress", "IPv4Network", nullptr};
LazyType ipv6_network_type{"ipaddress", "IPv6Network", nullptr};
LazyType ipv4_interface_type{"ipaddress", "IPv4Interface", nullptr};
LazyType ipv6_interface_type{"ipaddress", "IPv6Interface", nullptr};

// Interfaces are addresses too (subclasses of them).
Leaf write_ip(const WriteArgs &args, PyObject *obj) {
    if (!is_instance(obj, ipv4_address_type) && !is_instance(obj, ipv6_address_type) &&
        !is_instance(obj, ipv4_network_type) && !is_instance(obj, ipv6_network_type)) {
        return Leaf::kNotMine;
    }
    return write_ip_address(args.sink, obj);
}

std::string ip_note(PyObject *obj) {
    return is_instance(obj, ipv6_network_type) ? " (a network with a zone: RFC 9164 prefixes carry none)" : "";
}

Leaf write_uuid(const WriteArgs &args, PyObject *obj) {
    if (!is_instance(obj, uuid_type)) return Leaf::kNotMine;
    write_uuid_bytes(args.sink, obj);
    return Leaf::kWritten;
}

// Tag 37: the UUID's 16 bytes.
PyObject *read_uuid(Decoder &decoder, uint64_t number, Place) {
    const unsigned char *at = decoder.cursor();
    Ref content(decoder.item(Place::kValue));
    if (!content) return nullptr;
    if (!PyBytes_CheckExact(content.get()) || PyBytes_GET_SIZE(content.get()) != 16) {
        return decoder.fail(at, "tag 37 content is not 16 bytes of a UUID");
    }
    PyObject *uuid = uuid_class.get(decoder);
    if (!uuid) return import_failed(decoder, at, number, "uuid");
    Ref args(PyTuple_New(0)), kwargs(Py_BuildValue("{sO}", "bytes", content.get()));
    return args && kwargs ? PyObject_Call(uuid, args.get(), kwargs.get()) : nullptr;
}


// ---- Reading IP addresses ------------------------------------------------------------

namespace {

// Whether a prefix's bytes hold only its prefix length's bits, and end in a
// byte that is not zero, as RFC 9164 has encoders write them (other forms
// would give one prefix several encodings): null, or what is wrong.
const char *prefix_fault(const unsigned char *bytes, size_t size, unsigned long prefix) {
    if (size > 0 && bytes[size - 1] == 0) return "ends in a zero byte";
    for (size_t i = prefix / 8; i < size; ++i) {
        unsigned kept = i == prefix / 8 ? 0xffu << (8 - prefix % 8) & 0xffu : 0u;
        if (bytes[i] & ~kept & 0xffu) return "has bits set past its prefix length";
    }
    return nullptr;
}

// An unsigned int up to max, or -1.
long prefix_length(PyObject *obj, unsigned long max) {
    if (!PyLong_CheckExact(obj)) return -1;
    unsigned long value = PyLong_AsUnsignedLong(obj);
    if (value == (unsigned long)-1 && PyErr_Occurred()) {
        PyErr_Clear();
        return -1;
    }
    return value <= max ? (long)value : -1;
}

// make(args): the ipaddress object, or null; an ipaddress refusal makes the
// content malformed.
PyObject *made(Decoder &decoder, const unsigned char *at, uint64_t number, LazyImport &make, PyObject *arg,
               const char *what) {
    PyObject *cls = make.get(decoder);
    if (!cls) return import_failed(decoder, at, number, "ipaddress");
    PyObject *value = PyObject_CallFunctionObjArgs(cls, arg, nullptr);
    if (!value && is_ordinary_error()) return decoder.fail_from_error(at, what);
    return value;
}

// (address bytes padded to full size, prefix length), as ipaddress takes a network.
PyObject *address_and_prefix(const char *bytes, size_t used, size_t size, long prefix) {
    Ref full(PyBytes_FromStringAndSize(nullptr, (Py_ssize_t)size));
    if (!full) return nullptr;
    std::memset(PyBytes_AS_STRING(full.get()), 0, size);
    std::memcpy(PyBytes_AS_STRING(full.get()), bytes, used);
    return Py_BuildValue("(Ol)", full.get(), prefix);
}

// A zone read back as ipaddress writes it in text: an interface index's
// digits, or the name's UTF-8 (also as text, which other encoders write).
PyObject *zone_text(PyObject *zone) {
    if (PyLong_CheckExact(zone)) return PyObject_Str(zone);
    if (PyBytes_CheckExact(zone)) {
        return PyUnicode_DecodeUTF8(PyBytes_AS_STRING(zone), PyBytes_GET_SIZE(zone), "strict");
    }
    if (PyUnicode_CheckExact(zone)) {
        Py_INCREF(zone);
        return zone;
    }
    PyErr_SetString(PyExc_ValueError, "a zone is a byte string or an integer");
    return nullptr;
}

PyObject *read_ip_content(Decoder &decoder, const unsigned char *at, uint64_t number, IpClasses &ip, PyObject *c) {
    char what[64];
    std::snprintf(what, sizeof what, "tag %d content is not an IPv%d address, prefix or interface", ip.tag,
                  ip.size == 4 ? 4 : 6);
    unsigned long bits = ip.size * 8;
    if (PyBytes_CheckExact(c)) {
        if ((size_t)PyBytes_GET_SIZE(c) != ip.size) return decoder.fail(at, "%s", what);
        return made(decoder, at, number, ip.address, c, what);
    }
    Py_ssize_t n = PyList_CheckExact(c) ? PyList_GET_SIZE(c) : 0;
    if (n < 2 || n > 3) return decoder.fail(at, "%s", what);
    PyObject *first = PyList_GET_ITEM(c, 0), *second = PyList_GET_ITEM(c, 1);
    if (PyLong_CheckExact(first)) {  // a prefix: [length, bytes]
        long prefix = prefix_length(first, bits);
        if (n != 2 || prefix < 0 || !PyBytes_CheckExact(second) || (size_t)PyBytes_GET_SIZE(second) > ip.size) {
            return decoder.fail(at, "%s", what);
        }
        const char *bytes = PyBytes_AS_STRING(second);
        size_t used = (size_t)PyBytes_GET_SIZE(second);
        if (const char *fault = prefix_fault(reinterpret_cast<const unsigned char *>(bytes), used, (unsigned long)prefix)) {
            return decoder.fail(at, "tag %d prefix %s", ip.tag, fault);
        }
        Ref pair(address_and_prefix(bytes, used, ip.size, prefix));
        return pair ? made(decoder, at, number, ip.network, pair.get(), what) : nullptr;
    }
    // An interface: [address bytes, prefix length or null, zone?]
    long prefix = second == Py_None ? -2 : prefix_length(second, bits);
    if (!PyBytes_CheckExact(first) || (size_t)PyBytes_GET_SIZE(first) != ip.size || prefix == -1) {
        return decoder.fail(at, "%s", what);
    }
    if (n == 2) {
        if (prefix == -2) return made(decoder, at, number, ip.address, first, what);
        Ref pair(address_and_prefix(PyBytes_AS_STRING(first), ip.size, ip.size, prefix));
        return pair ? made(decoder, at, number, ip.interface, pair.get(), what) : nullptr;
    }
    PyObject *zone = PyList_GET_ITEM(c, 2);
    if (!PyLong_CheckExact(zone) && !PyBytes_CheckExact(zone) && !PyUnicode_CheckExact(zone)) {
        return decoder.fail(at, "%s", what);
    }
#if PY_VERSION_HEX >= 0x03090000
    if (ip.size == 16) {  // ipaddress has zones for IPv6 only, from Python 3.9 on
        Ref address(made(decoder, at, number, ip.address, first, what));
        Ref zone_name(address ? zone_text(zone) : nullptr);
        if (!zone_name) return address && is_ordinary_error() ? decoder.fail_from_error(at, what) : nullptr;
        Ref text(prefix == -2 ? PyUnicode_FromFormat("%S%%%U", address.get(), zone_name.get())
                              : PyUnicode_FromFormat("%S%%%U/%ld", address.get(), zone_name.get(), prefix));
        return text ? made(decoder, at, number, prefix == -2 ? ip.address : ip.interface, text.get(), what) : nullptr;
    }
#endif
    return decoder.tagged(number, c);
}

}  // namespace

// Tags 52 and 54 (RFC 9164): an address, a prefix (a network), or an
// address with a prefix length and perhaps a zone (an interface). A zone
// that ipaddress has no place for (IPv4's) leaves the tag a Tag.
PyObject *read_ip(Decoder &decoder, uint64_t number, Place) {
    const unsigned char *at = decoder.cursor();
    Ref content(decoder.item(Place::kValue));
    if (!content) return nullptr;
    return read_ip_content(decoder, at, number, number == 52 ? ipv4 : ipv6, content.get());
}

// Tag 260: an address of 4 or 16 bytes; other sizes (MAC addresses) stay a Tag.
PyObject *read_network_address(Decoder &decoder, uint64_t number, Place) {
    const unsigned char *at = decoder.cursor();
    Ref content(decoder.item(Place::kValue));
    if (!content) return nullptr;
    PyObject *c = content.get();
    if (!PyBytes_CheckExact(c)) return decoder.fail(at, "tag 260 content is not a byte string");
    Py_ssize_t size = PyBytes_GET_SIZE(c);
    if (size != 4 && size != 16) return decoder.tagged(number, c);
    return made(decoder, at, number, size == 4 ? ipv4.address : ipv6.address, c,
                "tag 260 content is not a network address");
}

// Tag 261: {address bytes: prefix length}, a network, or an interface when
// the address has bits set past the prefix.
PyObject *read_network_prefix(Decoder &decoder, uint64_t number, Place) {
    const unsigned char *at = decoder.cursor();
    const char *what = "tag 261 content is not a network prefix {address: prefix length}";
    Ref content(decoder.item(Place::kValue));
    if (!content) return nullptr;
    PyObject *c = content.get(), *address, *length;
    Py_ssize_t pos = 0;
    if (!PyDict_CheckExact(c) || PyDict_GET_SIZE(c) != 1 || !PyDict_Next(c, &pos, &address, &length) ||
        !PyBytes_CheckExact(address) || (PyBytes_GET_SIZE(address) != 4 && PyBytes_GET_SIZE(address) != 16)) {
        return decoder.fail(at, "%s", what);
    }
    IpClasses &ip = PyBytes_GET_SIZE(address) == 4 ? ipv4 : ipv6;
    long prefix = prefix_length(length, ip.size * 8);
    if (prefix < 0) return decoder.fail(at, "%s", what);
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(address));
    size_t used = ip.size;
    while (used > 0 && bytes[used - 1] == 0) --used;
    bool host_bits = prefix_fault(bytes, used, (unsigned long)prefix) != nullptr;
    Ref pair(address_and_prefix(PyBytes_AS_STRING(address), ip.size, ip.size, prefix));
    return pair ? made(decoder, at, number, host_bits ? ip.interface : ip.network, pair.get(), what) : nullptr;
}

}  // namespace vantra
