#pragma once

#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>

#include "log/TakNanoLogLine.h"

namespace TakNanolog {

// The text of one record at a time, exactly as the log file holds it: an output stream over a
// string that is reused from record to record, so that formatting allocates nothing once the
// string has grown to the longest record.
class RecordText {
public:
    RecordText();
    RecordText(RecordText const&) = delete;
    RecordText& operator=(RecordText const&) = delete;

    // Replaces the text with the record's (TakNanoLogLine::stringify). The view lives until the
    // next call.
    std::string_view format(TakNanoLogLine& logline);

private:
    class StringBuf : public std::streambuf {
    public:
        void clear() { m_text.clear(); }
        std::string_view text() const { return m_text; }

    protected:
        int_type overflow(int_type c) override;
        std::streamsize xsputn(char const* s, std::streamsize n) override;

    private:
        std::string m_text;
    };

    StringBuf m_buf;
    std::ostream m_os;
};

}  // namespace TakNanolog
