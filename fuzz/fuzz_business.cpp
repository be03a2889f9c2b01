// The business payloads an agent sends, through the services of one device session: device
// information, audit uploads (security-log and system-log content), resets, policy errors, host
// information answers, and whole Businessdata with any command. The services run on two
// database connections that never connect, so their tasks stay queued and are counted; what
// the tasks would store is decided by the same code the tasks run (TakSystemLogRows,
// TakSecLogRows, the services' statements), here bound to a recorder.
//
// Checked, against a model of the session kept here:
// - a registration is queued for each device information until the session closes, and its
//   MAC becomes the session's own; the close drops the session's queued work and queues one
//   offline update once the device registered;
// - an upload or reset is queued exactly when its type has a table and its MAC is one the
//   session reported, and the bytes an upload waits with are given back when its task goes;
// - a policy error with content is queued, also after the close;
// - every text from the agent that a statement splices in stays inside its own quotes and
//   reads back as sent;
// - a system-log line is stored exactly when it has the first line's item count and its first
//   item is a 64-bit decimal number (checked against strtoll), with every placeholder bound to
//   that line's own values; a security-log record binds its own fields in column order;
// - a host's answer reaches the console's reply, which Thrift writes and reads back unchanged.
//
// Input layout: see TakFuzzInputs.h.

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "Tak.Base.pb.h"
#include "Tak.Business.pb.h"
#include "Tak.HostInfo.pb.h"
#include "Tak.PolicyNotify.pb.h"
#include "Tak.SecureLog.pb.h"
#include "Tak.SystemLog.pb.h"
#include "comm-serd/ITakSessionManager.h"
#include "comm-serd/business/TakAuditStore.h"
#include "comm-serd/business/TakBsAuditInfo.h"
#include "comm-serd/business/TakBsDefine.h"
#include "comm-serd/business/TakBsDeviceInfo.h"
#include "comm-serd/business/TakDeviceStore.h"
#include "comm-serd/business/TakReportedMacs.h"
#include "comm-serd/business/TakSecLogRows.h"
#include "comm-serd/business/TakSystemLogRows.h"
#include "comm-serd/db/TakDbConn.h"
#include "comm-serd/db/TakDbDefine.h"
#include "comm-serd/notifyServiceHandler.h"
#include "comm-serd/session/TakHostQuery.h"
#include "fuzz/TakFuzzInputs.h"

namespace {

namespace ComDefine = Tak::ComDefine;
namespace PolicyNotify = Tak::PolicyNotify;

constexpr uint64_t kSessionId = 7;
const std::string kPeer = "10.1.2.3:40000";

void check(bool ok) {
    if (!ok) std::abort();
}

// ---- statements -----------------------------------------------------------------------------

// Reads a statement as the server's lexer does with backslash escapes on: the text outside
// single quotes, with each quoted literal replaced by '', and the literals' values. False for a
// literal that does not end.
bool splitLiterals(const std::string& sql, std::string& skeleton,
                   std::vector<std::string>& values) {
    skeleton.clear();
    values.clear();
    for (size_t i = 0; i < sql.size(); ++i) {
        if (sql[i] != '\'') {
            skeleton.push_back(sql[i]);
            continue;
        }
        std::string value;
        for (++i;; ++i) {
            if (i >= sql.size()) return false;
            const char c = sql[i];
            if (c == '\\') {
                if (++i >= sql.size()) return false;
                switch (sql[i]) {
                    case '0':
                        value.push_back('\0');
                        break;
                    case 'b':
                        value.push_back('\b');
                        break;
                    case 'n':
                        value.push_back('\n');
                        break;
                    case 'r':
                        value.push_back('\r');
                        break;
                    case 't':
                        value.push_back('\t');
                        break;
                    case 'Z':
                        value.push_back('\x1a');
                        break;
                    case '%':
                    case '_':
                        value.push_back('\\');
                        value.push_back(sql[i]);
                        break;
                    default:
                        value.push_back(sql[i]);
                }
            } else if (c == '\'') {
                if (i + 1 < sql.size() && sql[i + 1] == '\'') {
                    value.push_back('\'');
                    ++i;
                } else {
                    break;
                }
            } else {
                value.push_back(c);
            }
        }
        skeleton += "''";
        values.push_back(std::move(value));
    }
    return true;
}

// sql carries exactly the values, each in its own literal, and otherwise reads as reference
// (the same statement made with harmless values).
void checkSpliced(const std::string& sql, const std::string& reference,
                  const std::vector<std::string>& expected) {
    std::string skeleton;
    std::string referenceSkeleton;
    std::vector<std::string> values;
    std::vector<std::string> referenceValues;
    check(splitLiterals(reference, referenceSkeleton, referenceValues));
    check(splitLiterals(sql, skeleton, values));
    check(skeleton == referenceSkeleton);
    check(values == expected);
}

// ---- bindings -------------------------------------------------------------------------------

// Takes bindings as a prepared statement with count placeholders does (by address).
class Recorder {
public:
    explicit Recorder(unsigned int count) : m_count(count) {}
    void setParam(unsigned int index, std::string& value) { bind(index, &value); }
    void setParam(unsigned int index, int& value) { bind(index, &value); }
    void setParam(unsigned int index, long long& value) { bind(index, &value); }
    void clear() { m_bound.clear(); }

    // An execution now: every placeholder bound.
    bool complete() const { return m_bound.size() == m_count; }
    template <typename T>
    T* at(unsigned int index) const {
        auto it = m_bound.find(index);
        if (it == m_bound.end()) return nullptr;
        auto* value = std::get_if<T*>(&it->second);
        return value ? *value : nullptr;
    }

private:
    template <typename T>
    void bind(unsigned int index, T* value) {
        check(index < m_count);  // the statement would drop it ("index too large")
        m_bound[index] = value;
    }

    unsigned int m_count;
    std::map<unsigned int, std::variant<std::string*, int*, long long*>> m_bound;
};

// Whether text is a signed 64-bit decimal number, by other means than the service's.
bool isDecimal64(const std::string& text, long long* value) {
    size_t i = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
    if (i == text.size()) return false;
    for (size_t k = i; k < text.size(); ++k) {
        if (text[k] < '0' || text[k] > '9') return false;
    }
    errno = 0;
    *value = std::strtoll(text.c_str(), nullptr, 10);
    return errno == 0;
}

void checkSystemLog(const std::string& table, const std::string& logdata) {
    Tak::SystemLog::SystemLogContentAsr content;
    content.ParsePartialFromString(logdata);
    TakSystemLogRows rows(logdata);
    check(rows.lineCount() == content.logcontent_size());
    const int items = content.logcontent_size() != 0 ? content.logcontent(0).stritem_size() : 0;
    check(rows.itemCount() == items);
    if (items == 0) return;

    const std::string sql = rows.insertSql(table);
    std::string reference = "insert into " + table + " values(null, ?";
    for (int k = 0; k < items; ++k) reference += k == 0 ? ", ?" : ",?";
    check(sql == reference + " )");

    std::string mac = "aa:00";
    Recorder stmt(static_cast<unsigned int>(items) + 1);
    TakSystemLogRows::Counts expected;
    for (int i = 0; i < rows.lineCount(); ++i) {
        const Tak::SystemLog::LineLogContent& line = content.logcontent(i);
        long long first = 0;
        TakSystemLogRows::Verdict want = TakSystemLogRows::Verdict::Store;
        if (line.stritem_size() < items) {
            want = TakSystemLogRows::Verdict::TooShort;
            ++expected.tooShort;
        } else if (!isDecimal64(line.stritem(0), &first)) {
            want = TakSystemLogRows::Verdict::BadFirstItem;
            ++expected.badFirstItem;
        } else if (line.stritem_size() > items) {
            ++expected.surplus;
        }
        stmt.clear();
        check(rows.bindLine(i, stmt, mac) == want);
        if (want != TakSystemLogRows::Verdict::Store) {
            check(stmt.complete() == false);
            continue;
        }
        check(stmt.complete());
        check(stmt.at<std::string>(0) == &mac);
        check(stmt.at<long long>(1) && *stmt.at<long long>(1) == first);
        for (int k = 1; k < items; ++k) {
            const std::string* value = stmt.at<std::string>(static_cast<unsigned int>(k) + 1);
            check(value && *value == line.stritem(k));
        }
    }
    check(rows.counts().tooShort == expected.tooShort);
    check(rows.counts().badFirstItem == expected.badFirstItem);
    check(rows.counts().surplus == expected.surplus);
}

void checkSecLog(const std::string& logdata) {
    Tak::SecureLog::AuditContentAsr content;
    content.ParsePartialFromString(logdata);
    TakSecLogRows rows(logdata);
    check(rows.recordCount() == content.arrauditcontent_size());
    std::string mac = "aa:00";
    Recorder stmt(8);
    for (int i = 0; i < rows.recordCount(); ++i) {
        const auto& record = content.arrauditcontent(i);
        stmt.clear();
        rows.bindRecord(i, stmt, mac);
        check(stmt.complete());
        check(stmt.at<std::string>(0) == &mac);
        check(stmt.at<int>(1) && *stmt.at<int>(1) == record.ntime());
        check(stmt.at<int>(2) && *stmt.at<int>(2) == record.ntype());
        check(stmt.at<std::string>(3) && *stmt.at<std::string>(3) == record.struser());
        check(stmt.at<int>(4) && *stmt.at<int>(4) == record.nresult());
        check(stmt.at<int>(5) && *stmt.at<int>(5) == record.ntype());
        check(stmt.at<std::string>(6) && *stmt.at<std::string>(6) == record.strsummary());
        check(stmt.at<std::string>(7) && *stmt.at<std::string>(7) == record.strdesc());
    }
}

// ---- host answers ---------------------------------------------------------------------------

// A registry whose host query is answered by the query given.
class AnsweredRegistry final : public ITakSessionManager {
public:
    explicit AnsweredRegistry(TakHostQuery& query) : m_query(query) {}
    void addSession(uint64_t, std::shared_ptr<TakSocketChannel>) override {}
    void closeAll() override {}
    void policyNotify() override {}
    bool synGetHostInfo(const std::string&, Tak::HostInfo::ResourceInfoAsr& out) override {
        (void)m_query.waitFor(std::chrono::milliseconds(0), out);
        return true;
    }
    bool hostAuth(const std::string&, bool) override { return false; }

private:
    TakHostQuery& m_query;
};

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void checkHostAnswer(const std::string& data) {
    TakHostQuery query;
    query.answer(data);
    auto registry = std::make_shared<AnsweredRegistry>(query);
    notifyServiceHandler handler(std::static_pointer_cast<ITakSessionManager>(registry));
    tak::rpc::notify::STHostInfo reply;
    handler.getDeviceHostInfo(reply, "aa:00");

    Tak::HostInfo::ResourceInfoAsr figures;
    figures.ParsePartialFromString(data);
    check(reply.fCpuUse == static_cast<double>(figures.ncpurate()));

    // The reply as the console reads it.
    auto buffer = std::make_shared<apache::thrift::transport::TMemoryBuffer>();
    apache::thrift::protocol::TBinaryProtocol protocol(buffer);
    reply.write(&protocol);
    tak::rpc::notify::STHostInfo read;
    read.read(&protocol);
    check(sameBits(read.fCpuUse, reply.fCpuUse) && sameBits(read.fMemoryUse, reply.fMemoryUse) &&
          sameBits(read.fDiskUse, reply.fDiskUse));
}

// ---- the session ----------------------------------------------------------------------------

struct Connections {
    std::shared_ptr<TakDbConn> security = std::make_shared<TakDbConn>(g_strSecurityDbName);
    std::shared_ptr<TakDbConn> audit = std::make_shared<TakDbConn>(g_strAuditDbName);
};

Connections& connections() {
    static Connections c;
    return c;
}

Tak::Business::Businessdata businessdata(ComDefine::ECmdType command, const std::string& data) {
    Tak::Business::Businessdata bs;
    bs.set_nmoduletype(ComDefine::Module_Policy);
    bs.mutable_moduledata()->set_ncommandid(command);
    bs.mutable_moduledata()->set_commanddata(data);
    return bs;
}

class Session {
public:
    Session()
        : m_waiting(std::make_shared<std::atomic<uint64_t>>(0)),
          m_device(kSessionId, {}, kPeer, m_db.security, m_macs),
          m_audit(kSessionId, kPeer, takAuditTableNames(), m_db.audit, m_macs, m_waiting) {}

    ~Session() {
        // Every task went in under the session's id: dropping those empties the
        // queues and gives back the bytes the uploads waited with.
        for (const auto& conn : {m_db.security, m_db.audit}) {
            conn->stopTaskById(kSessionId);
            check(conn->queuedTaskCount() == 0 && conn->queuedBytes() == 0);
        }
        check(m_waiting->load() == 0);
    }

    void run(TakFuzzInputs::BusinessOp op, const std::string& payload) {
        switch (op) {
            case TakFuzzInputs::kDeviceInfo:
                deviceInfo(businessdata(ComDefine::policy_deviceInfoUp, payload));
                break;
            case TakFuzzInputs::kAuditUpload:
                upload(businessdata(ComDefine::policy_auditUp, payload));
                break;
            case TakFuzzInputs::kAuditReset:
                reset(businessdata(ComDefine::policy_auditReset, payload));
                break;
            case TakFuzzInputs::kPolicyError:
                policyError(payload);
                break;
            case TakFuzzInputs::kHostAnswer:
                checkHostAnswer(payload);
                break;
            case TakFuzzInputs::kBusinessdata:
                anyCommand(payload);
                break;
            case TakFuzzInputs::kCloseSession:
                close();
                break;
            default:
                break;
        }
    }

private:
    void deviceInfo(const Tak::Business::Businessdata& bs) {
        PolicyNotify::DeviceInfoUp info;
        info.ParsePartialFromString(bs.moduledata().commanddata());
        const std::string before = m_device.mac();
        const size_t queued = m_db.security->queuedTaskCount();
        m_device.processBs(bs);
        if (m_closed) {
            check(m_db.security->queuedTaskCount() == queued && m_device.mac() == before);
        } else {
            check(m_db.security->queuedTaskCount() == queued + 1);
            check(m_device.mac() == info.strmacaddr());
            m_reported.insert(info.strmacaddr());
            m_registered = true;
            ++m_queuedUnderFd;
        }
        check(m_macs->contains(info.strmacaddr()) == (m_reported.count(info.strmacaddr()) != 0));

        TakDeviceStore store(*m_db.security);
        checkSpliced(store.lookupSql(info.strmacaddr()), store.lookupSql("m"), {info.strmacaddr()});
        PolicyNotify::DeviceInfoUp plain;
        plain.set_strmacaddr("m");
        plain.set_strlocalipaddr("l");
        plain.set_strhostname("h");
        checkSpliced(store.registrationSql(info, kPeer), store.registrationSql(plain, "p"),
                     {info.strmacaddr(), info.strlocalipaddr(), kPeer, info.strhostname()});
        checkSpliced(store.offlineSql(info.strmacaddr(), info.strhostname()),
                     store.offlineSql("m", "i"), {info.strmacaddr(), info.strhostname()});
        checkSpliced(store.groupHostsSql(info.strhostname()), store.groupHostsSql("g"),
                     {info.strhostname()});
    }

    void upload(const Tak::Business::Businessdata& bs) {
        PolicyNotify::AuditContentUpReq request;
        request.ParsePartialFromString(bs.moduledata().commanddata());
        auto table = takAuditTableNames().find(request.ntype());
        const bool hasTable = table != takAuditTableNames().end();
        const bool queues = hasTable && m_reported.count(request.strmac()) != 0;
        const size_t queued = m_db.audit->queuedTaskCount();
        const uint64_t waiting = m_waiting->load();
        m_audit.processBs(bs);
        check(m_db.audit->queuedTaskCount() == queued + (queues ? 1 : 0));
        check(m_waiting->load() == waiting + (queues ? request.bylogdata().size() : 0));
        if (!hasTable) return;
        if (request.ntype() == PolicyNotify::auditUpType_secLog) {
            checkSecLog(request.bylogdata());
        } else {
            checkSystemLog(table->second, request.bylogdata());
        }
    }

    void reset(const Tak::Business::Businessdata& bs) {
        PolicyNotify::AuditLogResetReq request;
        request.ParsePartialFromString(bs.moduledata().commanddata());
        auto table = takAuditTableNames().find(request.ntype());
        const bool hasTable = table != takAuditTableNames().end();
        const bool queues = hasTable && m_reported.count(request.strmac()) != 0;
        const size_t queued = m_db.audit->queuedTaskCount();
        m_audit.processBs(bs);
        check(m_db.audit->queuedTaskCount() == queued + (queues ? 1 : 0));
        if (!hasTable) return;
        TakAuditStore store(*m_db.audit);
        checkSpliced(store.resetSql(table->second, request.strmac()),
                     store.resetSql(table->second, "m"), {request.strmac()});
    }

    void policyError(const std::string& data) {
        const size_t queued = m_db.security->queuedTaskCount();
        m_device.processErr(data);
        check(m_db.security->queuedTaskCount() == queued + (data.empty() ? 0 : 1));
        if (!data.empty() && !m_closed) ++m_queuedUnderFd;
    }

    // Any command, as the session hands it to its services.
    void anyCommand(const std::string& payload) {
        Tak::Business::Businessdata bs;
        bs.ParsePartialFromString(payload);
        switch (bs.moduledata().ncommandid()) {
            case ComDefine::policy_deviceInfoUp:
                deviceInfo(bs);
                return;
            case ComDefine::policy_auditUp:
                upload(bs);
                return;
            case ComDefine::policy_auditReset:
                reset(bs);
                return;
            default:
                break;
        }
        const size_t security = m_db.security->queuedTaskCount();
        const size_t audit = m_db.audit->queuedTaskCount();
        m_device.processBs(bs);
        m_audit.processBs(bs);
        check(m_db.security->queuedTaskCount() == security);
        check(m_db.audit->queuedTaskCount() == audit);
    }

    void close() {
        const size_t queued = m_db.security->queuedTaskCount();
        m_device.close();
        // A second close changes nothing.
        check(m_db.security->queuedTaskCount() ==
              (m_closed ? queued : queued - m_queuedUnderFd + (m_registered ? 1 : 0)));
        m_queuedUnderFd = 0;
        m_closed = true;
    }

    Connections& m_db = connections();
    std::shared_ptr<TakReportedMacs> m_macs = std::make_shared<TakReportedMacs>();
    std::shared_ptr<std::atomic<uint64_t>> m_waiting;
    TakBsDeviceInfo m_device;
    TakBsAuditInfo m_audit;

    // The model.
    std::set<std::string> m_reported;  // MACs the device information reported
    bool m_registered = false;         // a registration was queued
    bool m_closed = false;
    size_t m_queuedUnderFd = 0;  // security tasks queued under the fd since the last close
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Session session;
    size_t pos = 0;
    while (pos < size) {
        const auto op = static_cast<TakFuzzInputs::BusinessOp>(data[pos] % TakFuzzInputs::kOpCount);
        size_t length = 0;
        if (pos + 1 < size) length = data[pos + 1];
        if (pos + 2 < size) length |= static_cast<size_t>(data[pos + 2]) << 8;
        pos = std::min(size, pos + 3);
        length = std::min(length, size - pos);
        session.run(op, std::string(reinterpret_cast<const char*>(data + pos), length));
        pos += length;
    }
    return 0;
}
