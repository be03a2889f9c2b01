#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

namespace TakNanolog {

// Levels. INFO is 0 and DEBUG is 1: a threshold that lets INFO through lets DEBUG through too.
enum class LogLevel : uint8_t { INFO = 0, DEBUG = 1, WARN = 2, ERROR = 3 };

// Name printed for a level value; any value outside the four levels prints "XXXX".
char const* levelName(uint8_t level);

// A string with static storage duration: logged by address, never copied.
struct string_literal_t {
    explicit string_literal_t(char const* s) : m_s(s) {}
    char const* m_s;
};

// One log record: a fixed-size object built on the logging thread's stack. The arguments are
// packed into the inline buffer (moving to the heap when they do not fit) and turned into text
// later, on the writer thread.
//
// Buffer layout: a 37-byte header (time stamp in Clock ticks, thread id, file pointer, function
// pointer, line, level) followed by the arguments, each a one-byte tag and its payload. The text
// shows the time stamp as the system clock's local time to the microsecond.
class TakNanoLogLine {
public:
    static constexpr size_t kInlineSize = 216;
    static constexpr size_t kHeaderSize = 37;

    TakNanoLogLine(LogLevel level, char const* file, char const* function, uint32_t line);
    // A record with a raw level value (levels outside the enumeration print "XXXX").
    TakNanoLogLine(uint8_t level, char const* file, char const* function, uint32_t line);
    ~TakNanoLogLine() = default;

    // A moved-from record keeps its header and, if its arguments were on the heap, loses them:
    // it stays a valid record that can be appended to, printed or destroyed.
    TakNanoLogLine(TakNanoLogLine&& other) noexcept;
    TakNanoLogLine& operator=(TakNanoLogLine&& other) noexcept;
    TakNanoLogLine(TakNanoLogLine const&) = delete;
    TakNanoLogLine& operator=(TakNanoLogLine const&) = delete;

    // Writes the record as text: the header line, each argument followed by a space, two newlines.
    void stringify(std::ostream& os);
    // The text that stringify() writes.
    std::string getLineLogInfo();

    TakNanoLogLine& operator<<(char arg);
    TakNanoLogLine& operator<<(int32_t arg);
    TakNanoLogLine& operator<<(uint32_t arg);
    TakNanoLogLine& operator<<(int64_t arg);
    TakNanoLogLine& operator<<(uint64_t arg);
    TakNanoLogLine& operator<<(long long arg) { return *this << static_cast<int64_t>(arg); }
    TakNanoLogLine& operator<<(unsigned long long arg) {
        return *this << static_cast<uint64_t>(arg);
    }
    TakNanoLogLine& operator<<(double arg);
    // A copy of the string with one space appended (so "abc" prints as "abc" and two spaces).
    // The copy ends at the first NUL byte, so binary content cannot corrupt the record.
    TakNanoLogLine& operator<<(std::string const& arg);
    // A copy of the characters up to the first NUL byte, without the extra space.
    TakNanoLogLine& operator<<(std::string_view arg);

    // String literals are stored by address only.
    template <size_t N>
    TakNanoLogLine& operator<<(const char (&arg)[N]) {
        encode(string_literal_t(arg));
        return *this;
    }

    // A writable char array is never a literal (it may be a local buffer that is gone by the
    // time the writer prints the record), so its characters up to the first NUL are copied, as
    // for a C string.
    template <size_t N>
    TakNanoLogLine& operator<<(char (&arg)[N]) {
        encode_char_array(arg, N);
        return *this;
    }

    // A C string is copied; a null or empty one appends nothing at all.
    template <typename Arg>
    typename std::enable_if<std::is_same<Arg, char const*>::value ||
                                std::is_same<Arg, char*>::value,
                            TakNanoLogLine&>::type
    operator<<(Arg const& arg) {
        encode(static_cast<char const*>(arg));
        return *this;
    }

    uint8_t level() const { return static_cast<uint8_t>(m_level); }
    size_t bytesUsed() const { return m_bytes_used; }
    size_t bufferSize() const { return m_buffer_size; }
    bool onHeap() const { return m_heap_buffer != nullptr; }

private:
    char* buffer();
    void resize_buffer_if_needed(size_t additional_bytes);
    template <typename Arg>
    void encode(Arg arg);
    template <typename Arg>
    void encode(Arg arg, uint8_t type_id);
    void encode(char const* arg);
    void encode(string_literal_t arg);
    void encode_c_string(char const* arg, size_t length);
    void encode_char_array(char const* arg, size_t capacity);
    void move_from(TakNanoLogLine& other) noexcept;

    size_t m_bytes_used;
    size_t m_buffer_size;
    uint64_t m_level;
    std::unique_ptr<char[]> m_heap_buffer;
    char m_stack_buffer[kInlineSize];
};

static_assert(sizeof(TakNanoLogLine) == 248, "a log record is 248 bytes");

}  // namespace TakNanolog
