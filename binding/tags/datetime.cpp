// Dates and times: tag 0 (RFC 3339 date/time text), tag 1 (seconds since
// 1970), tag 100 (days since 1970) and tag 1004 (RFC 3339 full-date text).
#include "tags.hpp"

#include <datetime.h>

#include <algorithm>
#include <cmath>

namespace vantra {
namespace {

constexpr long long kMicro = 1000000;
constexpr long long kDay = 86400;

// Digits at s[0..n): their value, or -1.
int digits(const char *s, int n) {
    int v = 0;
    for (int i = 0; i < n; ++i) {
        if (s[i] < '0' || s[i] > '9') return -1;
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

// a / b and a % b rounded towards minus infinity (b > 0).
long long floor_div(long long a, long long b) { return a / b - (a % b < 0 ? 1 : 0); }

// The proleptic Gregorian date `days` days after 1970-01-01.
void civil_from_days(long long days, long long &year, int &month, int &day) {
    days += 719468;
    long long era = floor_div(days, 146097);
    long long doe = days - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    day = (int)(doy - (153 * mp + 2) / 5 + 1);
    month = (int)(mp < 10 ? mp + 3 : mp - 9);
    year = yoe + era * 400 + (month <= 2);
}

// Seconds (in a double) as a count of microseconds: rounded to the nearest
// microsecond as Python's fromtimestamp() rounds, except that a fraction is
// never rounded up into the next second (1.9999999 is 1.999999), so that no
// time moves into the next second or day. False when the seconds are not
// finite or beyond any datetime.
bool micros_of(double seconds, long long &micros) {
    if (!std::isfinite(seconds) || std::fabs(seconds) >= 1e12) return false;
    double whole = std::floor(seconds);
    double fraction = std::nearbyint((seconds - whole) * 1e6);  // exact difference, one rounding
    micros = (long long)whole * kMicro + std::min((long long)fraction, kMicro - 1);
    return true;
}

// The UTC datetime `micros` microseconds after 1970-01-01T00:00Z: a new
// reference, or null with an error set (ValueError past the years 1 to 9999).
PyObject *utc_datetime(long long micros) {
    long long seconds = floor_div(micros, kMicro), days = floor_div(seconds, kDay), year;
    int month, day, second_of_day = (int)(seconds - days * kDay);
    civil_from_days(days, year, month, day);
    if (year < 1 || year > 9999) {
        PyErr_SetString(PyExc_ValueError, "year is out of range");
        return nullptr;
    }
    return PyDateTimeAPI->DateTime_FromDateAndTime((int)year, month, day, second_of_day / 3600, second_of_day / 60 % 60,
                                                   second_of_day % 60, (int)(micros - seconds * kMicro),
                                                   PyDateTime_TimeZone_UTC, PyDateTimeAPI->DateTimeType);
}

// An RFC 3339 date-time: YYYY-MM-DDTHH:MM:SS[.fraction](Z|+HH:MM|-HH:MM), the
// fraction cut to microseconds. False when the text is not one.
bool parse_rfc3339(const char *s, Py_ssize_t n, int field[7], int &offset_seconds) {
    if (n < 20 || s[4] != '-' || s[7] != '-' || (s[10] != 'T' && s[10] != 't') || s[13] != ':' || s[16] != ':') {
        return false;
    }
    const int at[6][2] = {{0, 4}, {5, 2}, {8, 2}, {11, 2}, {14, 2}, {17, 2}};
    for (int i = 0; i < 6; ++i) {
        if ((field[i] = digits(s + at[i][0], at[i][1])) < 0) return false;
    }
    field[6] = 0;
    Py_ssize_t i = 19;
    if (s[i] == '.') {
        Py_ssize_t first = ++i;
        int scale = 100000;
        for (; i < n && s[i] >= '0' && s[i] <= '9'; ++i, scale /= 10) field[6] += scale * (s[i] - '0');
        if (i == first) return false;
    }
    if (i == n - 1 && (s[i] == 'Z' || s[i] == 'z')) {
        offset_seconds = 0;
        return true;
    }
    if (i != n - 6 || (s[i] != '+' && s[i] != '-') || s[i + 3] != ':') return false;
    int hours = digits(s + i + 1, 2), minutes = digits(s + i + 4, 2);
    if (hours < 0 || minutes < 0 || hours > 23 || minutes > 59) return false;
    offset_seconds = (s[i] == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
    return true;
}

PyObject *utc_or_offset(int offset_seconds) {
    if (offset_seconds == 0) {
        Py_INCREF(PyDateTime_TimeZone_UTC);
        return PyDateTime_TimeZone_UTC;
    }
    Ref delta(PyDelta_FromDSU(0, offset_seconds, 0));
    return delta ? PyTimeZone_FromOffset(delta.get()) : nullptr;
}

// The UTF-8 of a str, or null (no error set) for anything else.
const char *text_of(PyObject *content, Py_ssize_t &n) {
    if (!PyUnicode_Check(content)) return nullptr;
    const char *s = PyUnicode_AsUTF8AndSize(content, &n);
    if (!s) PyErr_Clear();  // a lone surrogate: no date in it
    return s;
}

// A value that refused its fields (a month 13, a year 0) makes the content malformed.
PyObject *made_or_refused(Decoder &decoder, const unsigned char *at, PyObject *value, const char *what) {
    if (!value && is_ordinary_error()) return decoder.fail_from_error(at, what);
    return value;
}

// ---- Writing -------------------------------------------------------------------------


PyObject *tzinfo_of(PyObject *dt) {
#if PY_VERSION_HEX >= 0x030A0000
    return PyDateTime_DATE_GET_TZINFO(dt);
#else
    auto *d = reinterpret_cast<PyDateTime_DateTime *>(dt);
    return d->hastzinfo ? d->tzinfo : Py_None;
#endif
}

[[noreturn]] void refuse_naive() {
    refuse(CBOREncodeValueError, "cannot encode a naive datetime",
           ": give it a timezone, for example tzinfo=datetime.timezone.utc");
}

// Days from 1970-01-01 to a proleptic Gregorian date.
long long days_from_civil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    long long era = (y >= 0 ? y : y - 399) / 400;
    unsigned yoe = (unsigned)(y - era * 400);
    unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (long long)doe - 719468;
}

char *put_digits(char *p, unsigned value, int width) {
    for (int i = width - 1; i >= 0; --i, value /= 10) p[i] = (char)('0' + value % 10);
    return p + width;
}

char *put_date(char *p, PyObject *date) {
    p = put_digits(p, (unsigned)PyDateTime_GET_YEAR(date), 4);
    *p++ = '-';
    p = put_digits(p, (unsigned)PyDateTime_GET_MONTH(date), 2);
    *p++ = '-';
    return put_digits(p, (unsigned)PyDateTime_GET_DAY(date), 2);
}

// The UTC offset of a datetime that is not in UTC; utc_offset() below.
VANTRA_NOINLINE long long other_offset(PyObject *&dt, PyObject *timezone, py::object &zoned) {
    PyObject *tzinfo = tzinfo_of(dt);
    static PyObject *name_utcoffset = PyUnicode_InternFromString("utcoffset");
    py::object delta = py::none();
    if (tzinfo != Py_None) {
        delta = py::reinterpret_steal<py::object>(
            name_utcoffset ? PyObject_CallMethodObjArgs(dt, name_utcoffset, nullptr) : nullptr);
        if (!delta) raise_python_error();
    }
    if (delta.ptr() == Py_None) {
        if (!timezone) refuse_naive();
        static PyObject *name_replace = PyUnicode_InternFromString("replace");
        static PyObject *name_tzinfo = PyUnicode_InternFromString("tzinfo");
        py::object replace = py::reinterpret_steal<py::object>(name_replace ? PyObject_GetAttr(dt, name_replace) : nullptr);
        py::object kwargs = py::reinterpret_steal<py::object>(PyDict_New());
        if (!replace || !kwargs || !name_tzinfo || PyDict_SetItem(kwargs.ptr(), name_tzinfo, timezone) < 0) {
            raise_python_error();
        }
        py::object args = py::reinterpret_steal<py::object>(PyTuple_New(0));
        if (!args) raise_python_error();
        zoned = py::reinterpret_steal<py::object>(PyObject_Call(replace.ptr(), args.ptr(), kwargs.ptr()));
        if (!zoned) raise_python_error();
        if (!PyDateTime_Check(zoned.ptr())) {
            refuse(CBOREncodeTypeError, "cannot encode a datetime whose replace() returns " + type_name(zoned.ptr()));
        }
        dt = zoned.ptr();
        delta = py::reinterpret_steal<py::object>(PyObject_CallMethodObjArgs(dt, name_utcoffset, nullptr));
        if (!delta) raise_python_error();
        if (delta.ptr() == Py_None) {
            refuse(CBOREncodeValueError, "cannot encode a naive datetime", ": the timezone option gives it no UTC offset");
        }
    }
    // datetime.utcoffset() has checked it is a timedelta within a day.
    return ((long long)PyDateTime_DELTA_GET_DAYS(delta.ptr()) * 86400 + PyDateTime_DELTA_GET_SECONDS(delta.ptr())) *
               kMicro + PyDateTime_DELTA_GET_MICROSECONDS(delta.ptr());
}

// The datetime's UTC offset in microseconds. A naive one is given the
// timezone option (dt becomes the datetime zoned keeps), or refused.
inline long long utc_offset(PyObject *&dt, PyObject *timezone, py::object &zoned) {
    return tzinfo_of(dt) == PyDateTime_TimeZone_UTC ? 0 : other_offset(dt, timezone, zoned);
}

// Tag 0: RFC 3339 text, "Z" for UTC. Offsets with seconds, which RFC 3339
// cannot write, are written as the same instant in UTC.
int write_datetime_text(Sink *sink, PyObject *dt, PyObject *timezone) {
    py::object zoned, utc;
    long long offset = utc_offset(dt, timezone, zoned);
    if (offset % (60 * kMicro) != 0) {
        static PyObject *name_astimezone = PyUnicode_InternFromString("astimezone");
        utc = py::reinterpret_steal<py::object>(
            name_astimezone ? PyObject_CallMethodObjArgs(dt, name_astimezone, PyDateTime_TimeZone_UTC, nullptr) : nullptr);
        if (!utc) raise_python_error();
        dt = utc.ptr();
        offset = 0;
    }
    char text[40];
    char *p = put_date(text, dt);
    *p++ = 'T';
    p = put_digits(p, (unsigned)PyDateTime_DATE_GET_HOUR(dt), 2);
    *p++ = ':';
    p = put_digits(p, (unsigned)PyDateTime_DATE_GET_MINUTE(dt), 2);
    *p++ = ':';
    p = put_digits(p, (unsigned)PyDateTime_DATE_GET_SECOND(dt), 2);
    if (unsigned micro = (unsigned)PyDateTime_DATE_GET_MICROSECOND(dt)) {
        *p++ = '.';
        p = put_digits(p, micro, 6);
    }
    if (offset == 0) {
        *p++ = 'Z';
    } else {
        *p++ = offset < 0 ? '-' : '+';
        long long minutes = (offset < 0 ? -offset : offset) / (60 * kMicro);
        p = put_digits(p, (unsigned)(minutes / 60), 2);
        *p++ = ':';
        p = put_digits(p, (unsigned)(minutes % 60), 2);
    }
    write_head(sink, kTagMajor, 0);
    write_text_copy(sink, kTextMajor, text, (size_t)(p - text));
    return 0;
}

// Tag 1: seconds since 1970-01-01T00:00Z, an int when whole, else a float
// when the decoder reads it back as the same microsecond. A float cannot hold
// every microsecond far from 1970 (nor the last one of 9999): such a time is
// written as tag 0 text instead, which holds it exactly.
int write_datetime_epoch(Sink *sink, PyObject *dt, bool shortest, PyObject *timezone) {
    py::object zoned;
    long long offset = utc_offset(dt, timezone, zoned);
    long long days = days_from_civil(PyDateTime_GET_YEAR(dt), (unsigned)PyDateTime_GET_MONTH(dt),
                                      (unsigned)PyDateTime_GET_DAY(dt));
    long long seconds = days * 86400 + PyDateTime_DATE_GET_HOUR(dt) * 3600 + PyDateTime_DATE_GET_MINUTE(dt) * 60 +
                        PyDateTime_DATE_GET_SECOND(dt);
    long long micros = seconds * kMicro + PyDateTime_DATE_GET_MICROSECOND(dt) - offset;  // |micros| < 2**58
    // An offset can put the instant outside the years 1 to 9999 in UTC, which
    // no datetime read back from seconds holds: the text keeps its offset.
    static const long long first = days_from_civil(1, 1, 1) * kDay * kMicro;
    static const long long end = (days_from_civil(9999, 12, 31) + 1) * kDay * kMicro;
    if (micros < first || micros >= end) return write_datetime_text(sink, dt, nullptr);
    if (micros % kMicro == 0) {
        long long whole = micros / kMicro;
        write_head(sink, kTagMajor, 1);
        return checked(whole < 0 ? cbor_inline::write_negint(sink, whole) : cbor_inline::write_uint(sink, (uint64_t)whole));
    }
    // One rounding, as Python's int / int: exact operands below 2**53.
    constexpr long long kExact = 1LL << 53;
    double value;
    if (micros > -kExact && micros < kExact) {
        value = (double)micros / 1e6;
    } else {
        py::object numerator = py::reinterpret_steal<py::object>(PyLong_FromLongLong(micros));
        py::object denominator = py::reinterpret_steal<py::object>(PyLong_FromLongLong(kMicro));
        if (!numerator || !denominator) raise_python_error();
        py::object quotient = py::reinterpret_steal<py::object>(PyNumber_TrueDivide(numerator.ptr(), denominator.ptr()));
        if (!quotient) raise_python_error();
        value = PyFloat_AS_DOUBLE(quotient.ptr());
    }
    long long back;
    if (!micros_of(value, back) || back != micros) return write_datetime_text(sink, dt, nullptr);
    write_head(sink, kTagMajor, 1);
    return write_float_value(sink, value, shortest);
}

// Tag 1004: RFC 3339 full-date text.
int write_date(Sink *sink, PyObject *date) {
    char text[10];
    put_date(text, date);
    write_head(sink, kTagMajor, 1004);
    write_text_copy(sink, kTextMajor, text, sizeof text);
    return 0;
}


}  // namespace

Leaf write_datetime(const WriteArgs &args, PyObject *obj) {
    if (PyDateTime_Check(obj)) {
        if (args.settings.epoch) {
            write_datetime_epoch(args.sink, obj, args.shortest, args.settings.timezone);
        } else {
            write_datetime_text(args.sink, obj, args.settings.timezone);
        }
    } else if (PyDate_Check(obj)) {
        write_date(args.sink, obj);
    } else {
        return Leaf::kNotMine;
    }
    return Leaf::kWritten;
}

bool init_datetime_family() {
    PyDateTime_IMPORT;
    return PyDateTimeAPI != nullptr;
}

bool check_timezone_option(PyObject *given) {
    if (PyTZInfo_Check(given)) return true;
    PyErr_Format(CBOREncodeTypeError, "timezone must be a datetime.tzinfo or None, not %.200s", Py_TYPE(given)->tp_name);
    return false;
}

PyObject *read_datetime_text(Decoder &decoder, uint64_t, Place) {
    const unsigned char *at = decoder.cursor();
    const char *what = "tag 0 content is not an RFC 3339 date/time text";
    Ref content(decoder.item(Place::kValue));
    if (!content) return nullptr;
    Py_ssize_t n;
    const char *s = text_of(content.get(), n);
    int f[7], offset;
    if (!s || !parse_rfc3339(s, n, f, offset)) return decoder.fail(at, "%s", what);
    Ref zone(utc_or_offset(offset));
    if (!zone) return nullptr;
    return made_or_refused(decoder, at,
                           PyDateTimeAPI->DateTime_FromDateAndTime(f[0], f[1], f[2], f[3], f[4], f[5], f[6], zone.get(),
                                                                   PyDateTimeAPI->DateTimeType),
                           what);
}

PyObject *read_datetime_epoch(Decoder &decoder, uint64_t, Place) {
    const unsigned char *at = decoder.cursor();
    const char *what = "tag 1 content is not a number of seconds that a datetime holds";
    Ref content(decoder.item(Place::kValue));
    if (!content) return nullptr;
    PyObject *seconds = content.get();
    long long micros;
    if (PyLong_CheckExact(seconds)) {
        int overflow;
        long long whole = PyLong_AsLongLongAndOverflow(seconds, &overflow);
        if (overflow || whole <= -1000000000000LL || whole >= 1000000000000LL) return decoder.fail(at, "%s", what);
        micros = whole * kMicro;
    } else if (!PyFloat_CheckExact(seconds) || !micros_of(PyFloat_AS_DOUBLE(seconds), micros)) {
        return decoder.fail(at, "%s", what);
    }
    return made_or_refused(decoder, at, utc_datetime(micros), what);
}

// Tag 100: days since 1970-01-01.
PyObject *read_date_days(Decoder &decoder, uint64_t, Place) {
    const unsigned char *at = decoder.cursor();
    const char *what = "tag 100 content is not a number of days that a date holds";
    Ref content(decoder.item(Place::kValue));
    if (!content) return nullptr;
    int overflow = 0;
    long long days = PyLong_CheckExact(content.get()) ? PyLong_AsLongLongAndOverflow(content.get(), &overflow) : 0;
    if (!PyLong_CheckExact(content.get()) || overflow || days < -1000000000LL || days > 1000000000LL) {
        return decoder.fail(at, "%s", what);
    }
    long long year;
    int month, day;
    civil_from_days(days, year, month, day);
    if (year < 1 || year > 9999) return decoder.fail(at, "%s", what);
    return made_or_refused(decoder, at, PyDate_FromDate((int)year, month, day), what);
}

// Tag 1004: YYYY-MM-DD.
PyObject *read_date_text(Decoder &decoder, uint64_t, Place) {
    const unsigned char *at = decoder.cursor();
    const char *what = "tag 1004 content is not an RFC 3339 full-date text";
    Ref content(decoder.item(Place::kValue));
    if (!content) return nullptr;
    Py_ssize_t n;
    const char *s = text_of(content.get(), n);
    if (!s || n != 10 || s[4] != '-' || s[7] != '-') return decoder.fail(at, "%s", what);
    int year = digits(s, 4), month = digits(s + 5, 2), day = digits(s + 8, 2);
    if (year < 0 || month < 0 || day < 0) return decoder.fail(at, "%s", what);
    return made_or_refused(decoder, at, PyDate_FromDate(year, month, day), what);
}

}  // namespace vantra
