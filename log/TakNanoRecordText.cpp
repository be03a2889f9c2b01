#include "log/TakNanoRecordText.h"

namespace TakNanolog {

RecordText::RecordText() : m_os(&m_buf) {}

std::string_view RecordText::format(TakNanoLogLine& logline) {
    m_buf.clear();
    m_os.clear();
    logline.stringify(m_os);
    return m_buf.text();
}

RecordText::StringBuf::int_type RecordText::StringBuf::overflow(int_type c) {
    if (!traits_type::eq_int_type(c, traits_type::eof()))
        m_text.push_back(traits_type::to_char_type(c));
    return traits_type::not_eof(c);
}

std::streamsize RecordText::StringBuf::xsputn(char const* s, std::streamsize n) {
    m_text.append(s, static_cast<size_t>(n));
    return n;
}

}  // namespace TakNanolog
