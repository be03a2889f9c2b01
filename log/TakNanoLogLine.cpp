#include "log/TakNanoLogLine.h"

#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <ostream>
#include <sstream>
#include <thread>

#include "log/TakNanoClock.h"

namespace TakNanolog {

namespace {

enum TypeTag : uint8_t {
    kChar = 0,
    kUint32 = 1,
    kUint64 = 2,
    kInt32 = 3,
    kInt64 = 4,
    kDouble = 5,
    kStringLiteral = 6,
    kCString = 7,
};

uint64_t threadId() {
    static thread_local const uint64_t id = static_cast<uint64_t>(pthread_self());
    return id;
}

template <typename T>
T readAt(char const* p) {
    T value;
    std::memcpy(&value, p, sizeof(T));
    return value;
}

// Prints one argument and advances b past it; returns nullptr on an unknown tag.
char const* decodeOne(std::ostream& os, char const* b) {
    uint8_t const tag = static_cast<uint8_t>(*b++);
    switch (tag) {
        case kChar:
            os << *b;
            return b + 1;
        case kUint32:
            os << readAt<uint32_t>(b);
            return b + sizeof(uint32_t);
        case kUint64:
            os << readAt<uint64_t>(b);
            return b + sizeof(uint64_t);
        case kInt32:
            os << readAt<int32_t>(b);
            return b + sizeof(int32_t);
        case kInt64:
            os << readAt<int64_t>(b);
            return b + sizeof(int64_t);
        case kDouble:
            os << readAt<double>(b);
            return b + sizeof(double);
        case kStringLiteral: {
            char const* s = readAt<char const*>(b);
            os << (s ? s : "");
            return b + sizeof(char const*);
        }
        case kCString: {
            size_t const n = std::strlen(b);
            os.write(b, static_cast<std::streamsize>(n));
            return b + n + 1;
        }
        default:
            return nullptr;
    }
}

}  // namespace

char const* levelName(uint8_t level) {
    switch (level) {
        case 0:
            return "INFO";
        case 1:
            return "DEBUG";
        case 2:
            return "WARN";
        case 3:
            return "ERROR";
        default:
            return "XXXX";
    }
}

TakNanoLogLine::TakNanoLogLine(LogLevel level, char const* file, char const* function,
                               uint32_t line)
    : TakNanoLogLine(static_cast<uint8_t>(level), file, function, line) {}

TakNanoLogLine::TakNanoLogLine(uint8_t level, char const* file, char const* function, uint32_t line)
    : m_bytes_used(0), m_buffer_size(kInlineSize), m_level(level) {
    encode<uint64_t>(Clock::now());
    encode<uint64_t>(threadId());
    encode<char const*>(file);
    encode<char const*>(function);
    encode<uint32_t>(line);
    encode<uint8_t>(level);
}

TakNanoLogLine::TakNanoLogLine(TakNanoLogLine&& other) noexcept { move_from(other); }

TakNanoLogLine& TakNanoLogLine::operator=(TakNanoLogLine&& other) noexcept {
    if (this != &other) move_from(other);
    return *this;
}

// The inline buffer always starts with the header, even after the arguments moved to the heap,
// so a record whose heap buffer was taken falls back to a header-only record.
void TakNanoLogLine::move_from(TakNanoLogLine& other) noexcept {
    m_bytes_used = other.m_bytes_used;
    m_buffer_size = other.m_buffer_size;
    m_level = other.m_level;
    m_heap_buffer = std::move(other.m_heap_buffer);
    std::memcpy(m_stack_buffer, other.m_stack_buffer, m_heap_buffer ? kHeaderSize : m_bytes_used);
    if (m_heap_buffer) {
        other.m_bytes_used = kHeaderSize;
        other.m_buffer_size = kInlineSize;
    }
}

char* TakNanoLogLine::buffer() { return m_heap_buffer ? m_heap_buffer.get() : m_stack_buffer; }

void TakNanoLogLine::resize_buffer_if_needed(size_t additional_bytes) {
    size_t const required = m_bytes_used + additional_bytes;
    if (required <= m_buffer_size) return;
    size_t const new_size =
        m_heap_buffer ? std::max(2 * m_buffer_size, required) : std::max<size_t>(512, required);
    std::unique_ptr<char[]> grown(new char[new_size]);
    std::memcpy(grown.get(), buffer(), m_bytes_used);
    m_heap_buffer = std::move(grown);
    m_buffer_size = new_size;
}

template <typename Arg>
void TakNanoLogLine::encode(Arg arg) {
    std::memcpy(buffer() + m_bytes_used, &arg, sizeof(Arg));
    m_bytes_used += sizeof(Arg);
}

template <typename Arg>
void TakNanoLogLine::encode(Arg arg, uint8_t type_id) {
    resize_buffer_if_needed(sizeof(Arg) + 1);
    encode<uint8_t>(type_id);
    encode<Arg>(arg);
}

void TakNanoLogLine::encode(char const* arg) {
    if (arg == nullptr || *arg == '\0') return;
    encode_c_string(arg, std::strlen(arg));
}

void TakNanoLogLine::encode(string_literal_t arg) { encode<char const*>(arg.m_s, kStringLiteral); }

void TakNanoLogLine::encode_char_array(char const* arg, size_t capacity) {
    size_t const length = strnlen(arg, capacity);
    if (length == 0) return;
    encode_c_string(arg, length);
}

void TakNanoLogLine::encode_c_string(char const* arg, size_t length) {
    resize_buffer_if_needed(1 + length + 1);
    char* b = buffer() + m_bytes_used;
    *b++ = static_cast<char>(kCString);
    std::memcpy(b, arg, length);
    b[length] = '\0';
    m_bytes_used += 1 + length + 1;
}

TakNanoLogLine& TakNanoLogLine::operator<<(char arg) {
    encode<char>(arg, kChar);
    return *this;
}
TakNanoLogLine& TakNanoLogLine::operator<<(int32_t arg) {
    encode<int32_t>(arg, kInt32);
    return *this;
}
TakNanoLogLine& TakNanoLogLine::operator<<(uint32_t arg) {
    encode<uint32_t>(arg, kUint32);
    return *this;
}
TakNanoLogLine& TakNanoLogLine::operator<<(int64_t arg) {
    encode<int64_t>(arg, kInt64);
    return *this;
}
TakNanoLogLine& TakNanoLogLine::operator<<(uint64_t arg) {
    encode<uint64_t>(arg, kUint64);
    return *this;
}
TakNanoLogLine& TakNanoLogLine::operator<<(double arg) {
    encode<double>(arg, kDouble);
    return *this;
}

TakNanoLogLine& TakNanoLogLine::operator<<(std::string const& arg) {
    size_t const n = std::strlen(arg.c_str());
    resize_buffer_if_needed(1 + n + 2);
    char* b = buffer() + m_bytes_used;
    *b++ = static_cast<char>(kCString);
    std::memcpy(b, arg.data(), n);
    b[n] = ' ';
    b[n + 1] = '\0';
    m_bytes_used += 1 + n + 2;
    return *this;
}

TakNanoLogLine& TakNanoLogLine::operator<<(std::string_view arg) {
    size_t const nul = arg.find('\0');
    encode_c_string(arg.data(), nul == std::string_view::npos ? arg.size() : nul);
    return *this;
}

void TakNanoLogLine::stringify(std::ostream& os) {
    char const* b = buffer();
    char const* const end = b + m_bytes_used;
    uint64_t const timestamp = Clock::toMicros(readAt<uint64_t>(b));
    uint64_t const thread = readAt<uint64_t>(b + 8);
    char const* const file = readAt<char const*>(b + 16);
    char const* const function = readAt<char const*>(b + 24);
    uint32_t const line = readAt<uint32_t>(b + 32);
    uint8_t const level = static_cast<uint8_t>(b[36]);

    std::time_t const secs = static_cast<std::time_t>(timestamp / 1000000);
    std::tm tm{};
    localtime_r(&secs, &tm);
    char when[48];
    size_t n = std::strftime(when, sizeof when, "%Y-%m-%d %T.", &tm);
    std::snprintf(when + n, sizeof when - n, "%06llu",
                  static_cast<unsigned long long>(timestamp % 1000000));

    os << '[' << when << ']' << '[' << levelName(level) << ']' << '[' << thread << ']' << '['
       << (file ? file : "") << ':' << (function ? function : "") << ':' << line << "行" << ']'
       << '\n';

    b += kHeaderSize;
    while (b < end) {
        b = decodeOne(os, b);
        if (b == nullptr) break;
        os << ' ';
    }
    os << "\n\n";
    if (level > static_cast<uint8_t>(LogLevel::WARN)) os.flush();
}

std::string TakNanoLogLine::getLineLogInfo() {
    std::ostringstream os;
    stringify(os);
    return os.str();
}

}  // namespace TakNanolog
