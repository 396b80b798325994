#include "Publisher.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <set>
#include <stdexcept>

#include "ChildProcess.h"

namespace qftest
{

struct Publisher::Connection
{
    SOCKET s = INVALID_SOCKET;
    std::thread thread;
    std::atomic<bool> bDone{false};
};

namespace
{
constexpr size_t kMaxHeader = 64 * 1024;
constexpr DWORD kPortWaitMs = static_cast<DWORD>(qfsupport::kEventTimeout.count());
// How many of the last requests a description names.
constexpr size_t kRequestsDescribed = 8;

std::string PathOnly(const std::string& target)
{
    return target.substr(0, target.find('?'));
}

const char* ReasonOf(int nStatus)
{
    switch (nStatus)
    {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 206: return "Partial Content";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

std::string ContentTypeOf(const std::string& path)
{
    auto endsWith = [&](const char* ext) {
        const size_t n = strlen(ext);
        return path.size() >= n && path.compare(path.size() - n, n, ext) == 0;
    };
    if (endsWith(".txt"))
        return "text/plain";
    if (endsWith(".html") || path.rfind("/blog/", 0) == 0)
        return "text/html";
    if (endsWith(".zip"))
        return "application/zip";
    return "application/octet-stream";
}

bool ReadWholeFile(const std::wstring& file, std::string& bytes)
{
    HANDLE h = ::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size{};
    bool ok = ::GetFileSizeEx(h, &size) && size.QuadPart < 512LL * 1024 * 1024;
    if (ok)
    {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        ok = bytes.empty() ||
             (::ReadFile(h, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) && read == bytes.size());
    }
    ::CloseHandle(h);
    return ok;
}

void AppendLittleEndian(std::string& out, unsigned long value, int nBytes)
{
    for (int i = 0; i < nBytes; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

unsigned long Crc32(const std::string& bytes)
{
    unsigned long crc = 0xFFFFFFFFul;
    for (const char ch : bytes)
    {
        crc ^= static_cast<unsigned char>(ch);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320ul & (0ul - (crc & 1)));
    }
    return crc ^ 0xFFFFFFFFul;
}

// The value of a request header ("" when there is none); names are matched
// without regard to case.
std::string HeaderOf(const std::string& request, const char* name)
{
    const size_t nName = strlen(name);
    for (size_t p = request.find("\r\n"); p != std::string::npos && p + 2 < request.size();)
    {
        const size_t start = p + 2;
        const size_t end = request.find("\r\n", start);
        if (end == std::string::npos || end == start)
            break;
        if (end - start > nName && request[start + nName] == ':' &&
            _strnicmp(request.c_str() + start, name, nName) == 0)
        {
            size_t v = start + nName + 1;
            while (v < end && request[v] == ' ')
                ++v;
            return request.substr(v, end - v);
        }
        p = end;
    }
    return {};
}

// The first byte that "bytes=N-" asks for; false for any other shape.
bool RangeStart(const std::string& range, size_t& nStart)
{
    if (range.rfind("bytes=", 0) != 0 || range.size() < 8 || range.back() != '-')
        return false;
    const std::string digits = range.substr(6, range.size() - 7);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    nStart = static_cast<size_t>(std::stoull(digits));
    return true;
}

// Someone (another build tree's tests, say) already answers on the port.
bool PortAnswers(unsigned short port)
{
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool answers = ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    ::closesocket(s);
    return answers;
}
} // namespace

std::string GzipStored(const std::string& body)
{
    // Header: magic, deflate, no flags, no time, no extra flags, unknown system.
    std::string gzip("\x1F\x8B\x08\x00\x00\x00\x00\x00\x00\xFF", 10);
    size_t nOffset = 0;
    do
    {
        const size_t n = std::min<size_t>(body.size() - nOffset, 0xFFFF);
        const bool bLast = nOffset + n == body.size();
        gzip += static_cast<char>(bLast ? 1 : 0); // BFINAL, stored block
        AppendLittleEndian(gzip, static_cast<unsigned long>(n), 2);
        AppendLittleEndian(gzip, static_cast<unsigned long>(~n & 0xFFFF), 2);
        gzip.append(body, nOffset, n);
        nOffset += n;
    } while (nOffset < body.size());
    AppendLittleEndian(gzip, Crc32(body), 4);
    AppendLittleEndian(gzip, static_cast<unsigned long>(body.size() & 0xFFFFFFFFul), 4);
    return gzip;
}

Publisher::Publisher(std::wstring contentDir, unsigned short port)
    : m_contentDir(std::move(contentDir)), m_nPort(port)
{
    WSADATA wsa{};
    if (::WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        throw std::runtime_error("WSAStartup failed");
    m_hStop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_hEndStalls = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);

    // The port is fixed by the build, and other build trees on the machine may
    // be running their tests on it: wait for it rather than fail at once.
    // Address reuse lets us bind over connections of an earlier run that
    // still linger; the probe keeps us from sharing the port with a live
    // listener.
    const DWORD start = ::GetTickCount();
    for (;;)
    {
        if (!PortAnswers(m_nPort))
        {
            m_listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            BOOL yes = TRUE;
            ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes), sizeof(yes));
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(m_nPort);
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::bind(m_listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
                ::listen(m_listener, SOMAXCONN) == 0)
                break;
            ::closesocket(m_listener);
            m_listener = INVALID_SOCKET;
        }
        if (::GetTickCount() - start > kPortWaitMs)
        {
            ::CloseHandle(m_hStop);
            ::CloseHandle(m_hEndStalls);
            ::WSACleanup();
            throw std::runtime_error("the publisher port " + std::to_string(m_nPort) +
                                     " stays taken (ss -ltnp 'sport = :" + std::to_string(m_nPort) +
                                     "' says by whom)");
        }
        ::Sleep(250);
    }
    m_acceptThread = std::thread([this] { AcceptLoop(); });
    m_witness.emplace([this] { return Describe(); });
}

Publisher::~Publisher()
{
    m_witness.reset();
    ::SetEvent(m_hStop);
    ::closesocket(m_listener);
    m_acceptThread.join();
    std::vector<std::unique_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        connections.swap(m_connections);
    }
    for (auto& c : connections)
    {
        ::shutdown(c->s, SD_BOTH);
        c->thread.join();
        ::closesocket(c->s);
    }
    ::CloseHandle(m_hStop);
    ::CloseHandle(m_hEndStalls);
    ::WSACleanup();
}

void Publisher::SetContent(const std::string& path, std::string body)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_content[path] = std::move(body);
    m_versions[path] = ++m_nLastVersion;
}

void Publisher::RemoveContent(const std::string& path)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_content.erase(path);
}

void Publisher::SetBehaviour(const std::string& path, const PathBehaviour& behaviour)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_behaviour[path] = behaviour;
    m_drops.erase(path);
}

void Publisher::SetStatus(const std::string& path, int nStatus)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_behaviour[path].nStatus = nStatus;
}

void Publisher::SetOmitContentLength(const std::string& path, bool bOmit)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_behaviour[path].bOmitContentLength = bOmit;
}

void Publisher::SetRate(const std::string& path, size_t nBytesPerSecond)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_behaviour[path].nBytesPerSecond = nBytesPerSecond;
}

void Publisher::SetStall(const std::string& path, size_t nAfterBytes, DWORD nMilliseconds)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_behaviour[path].nStallAfter = nAfterBytes;
    m_behaviour[path].nStallMs = nMilliseconds;
}

void Publisher::SetDropAfter(const std::string& path, size_t nAfterBytes, int nTimes)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_behaviour[path].nDropAfter = nAfterBytes;
    m_behaviour[path].nDrops = nTimes;
    m_drops.erase(path);
}

void Publisher::SetGzip(const std::string& path, bool bGzip)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_behaviour[path].bGzip = bGzip;
}

void Publisher::SetRedirect(const std::string& path, const std::string& target, int nStatus)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_behaviour[path].nStatus = nStatus;
    m_behaviour[path].location = target;
}

void Publisher::ResetBehaviour(const std::string& path)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_behaviour.erase(path);
    m_drops.erase(path);
}

void Publisher::EndStalls()
{
    ::SetEvent(m_hEndStalls);
}

int Publisher::StallsReached(const std::string& path) const
{
    return Counted(m_stalls, path);
}

int Publisher::Answered(const std::string& path) const
{
    return Counted(m_answered, path);
}

void Publisher::Count(std::map<std::string, int>& counts, const std::string& path)
{
    std::lock_guard<std::mutex> guard(m_lock);
    ++counts[path];
}

int Publisher::Counted(const std::map<std::string, int>& counts, const std::string& path) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    const auto it = counts.find(path);
    return it == counts.end() ? 0 : it->second;
}

std::vector<std::string> Publisher::Requests() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_requests;
}

int Publisher::RequestCount(const std::string& path) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return static_cast<int>(std::count_if(m_requests.begin(), m_requests.end(),
                                          [&](const std::string& r) { return PathOnly(r) == path; }));
}

std::string Publisher::Describe() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::string text = "  publisher on port " + std::to_string(m_nPort) + ": " + std::to_string(m_requests.size()) +
                       " requests" + (m_requests.empty() ? "" : ", the last first:") + "\n";
    const auto counted = [](const std::map<std::string, int>& counts, const std::string& path) {
        const auto it = counts.find(path);
        return std::to_string(it == counts.end() ? 0 : it->second);
    };
    std::set<std::string> described;
    for (size_t n = 0; n < std::min(m_requests.size(), kRequestsDescribed); ++n)
    {
        const std::string& target = m_requests[m_requests.size() - 1 - n];
        const std::string path = PathOnly(target);
        text += "    " + target;
        if (described.insert(path).second)
            text += " (answers to the path: " + counted(m_answered, path) + " ended, " + counted(m_stalls, path) +
                    " reached a stall)";
        text += "\n";
    }
    return text;
}

std::vector<std::string> Publisher::RangesAsked(const std::string& path) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    const auto it = m_ranges.find(path);
    return it == m_ranges.end() ? std::vector<std::string>() : it->second;
}

std::wstring Publisher::Url(const std::string& path) const
{
    return L"http://127.0.0.1:" + std::to_wstring(m_nPort) + std::wstring(path.begin(), path.end());
}

void Publisher::AcceptLoop()
{
    for (;;)
    {
        SOCKET s = ::accept(m_listener, nullptr, nullptr);
        if (s == INVALID_SOCKET)
        {
            if (::WaitForSingleObject(m_hStop, 0) == WAIT_OBJECT_0)
                return;
            continue;
        }
        std::lock_guard<std::mutex> guard(m_lock);
        // Reap the connections that have ended.
        for (auto it = m_connections.begin(); it != m_connections.end();)
        {
            if ((*it)->bDone)
            {
                (*it)->thread.join();
                ::closesocket((*it)->s);
                it = m_connections.erase(it);
            }
            else
                ++it;
        }
        auto c = std::make_unique<Connection>();
        c->s = s;
        Connection* pc = c.get();
        c->thread = std::thread([this, pc] {
            try
            {
                Serve(pc->s);
            }
            catch (...)
            {
                // A request that cannot be answered just ends its connection.
            }
            pc->bDone = true;
        });
        m_connections.push_back(std::move(c));
    }
}

bool Publisher::Pause(DWORD nMilliseconds, bool bStall)
{
    const HANDLE events[] = {m_hStop, m_hEndStalls};
    return ::WaitForMultipleObjects(bStall ? 2 : 1, events, FALSE, nMilliseconds) == WAIT_OBJECT_0;
}

bool Publisher::SendAll(SOCKET s, const char* p, size_t n)
{
    while (n > 0)
    {
        if (::WaitForSingleObject(m_hStop, 0) == WAIT_OBJECT_0)
            return false;
        const int sent = ::send(s, p, static_cast<int>(std::min<size_t>(n, 64 * 1024)), 0);
        if (sent <= 0)
            return false;
        p += sent;
        n -= static_cast<size_t>(sent);
    }
    return true;
}

bool Publisher::Lookup(const std::string& path, std::string& body, PathBehaviour& behaviour, std::string& version)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto b = m_behaviour.find(path);
        if (b != m_behaviour.end())
            behaviour = b->second;
        auto c = m_content.find(path);
        if (c != m_content.end())
        {
            body = c->second;
            version = "v" + std::to_string(m_versions[path]);
            return true;
        }
    }
    // Only plain paths below the content folder.
    if (m_contentDir.empty() || path.empty() || path[0] != '/' || path.find("..") != std::string::npos ||
        path.find('\\') != std::string::npos || path.find(':') != std::string::npos)
        return false;
    std::wstring file = m_contentDir;
    for (char ch : path)
        file += ch == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(ch));
    const DWORD attributes = ::GetFileAttributesW(file.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    if (!ReadWholeFile(file, body))
        return false;
    version = "f" + std::to_string(body.size());
    return true;
}

void Publisher::Serve(SOCKET s)
{
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < kMaxHeader)
    {
        const int got = ::recv(s, buffer, sizeof(buffer), 0);
        if (got <= 0)
            return;
        request.append(buffer, static_cast<size_t>(got));
    }

    const size_t lineEnd = request.find("\r\n");
    const std::string line = request.substr(0, lineEnd);
    const size_t sp1 = line.find(' ');
    const size_t sp2 = sp1 == std::string::npos ? std::string::npos : line.find(' ', sp1 + 1);
    const std::string method = line.substr(0, sp1);
    const std::string target =
        sp1 == std::string::npos ? std::string()
                                 : line.substr(sp1 + 1, sp2 == std::string::npos ? std::string::npos : sp2 - sp1 - 1);
    const std::string path = PathOnly(target);
    const std::string range = HeaderOf(request, "Range");
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_requests.push_back(target);
        if (!range.empty())
            m_ranges[path].push_back(range);
    }
    // However the answer ends, it counts as answered.
    struct AnsweredOnExit
    {
        Publisher& publisher;
        const std::string& path;
        ~AnsweredOnExit() { publisher.Count(publisher.m_answered, path); }
    } answered{*this, path};
    const auto stall = [&](DWORD nMilliseconds) {
        Count(m_stalls, path);
        return Pause(nMilliseconds, true);
    };

    std::string body, version;
    PathBehaviour behaviour;
    int nStatus = 200;
    if (method != "GET" && method != "HEAD")
        nStatus = 400;
    else if (!Lookup(path, body, behaviour, version))
        nStatus = 404;
    if (behaviour.nStatus != 200)
        nStatus = behaviour.nStatus;

    // The version's validator, and the part of the body a range asks for.
    std::string validator;
    if (behaviour.validator == Validator::ETag)
        validator = "\"" + version + "\"";
    else if (behaviour.validator == Validator::LastModified)
    {
        const unsigned long n = std::stoul("0" + version.substr(1));
        char date[64];
        snprintf(date, sizeof(date), "Mon, 01 Jan 2024 %02lu:%02lu:%02lu GMT", n / 3600 % 24, n / 60 % 60, n % 60);
        validator = date;
    }
    const bool bRanges = nStatus == 200 && behaviour.bRanges && !behaviour.bGzip && !behaviour.bEndless;
    std::string contentRange;
    size_t nStart = 0;
    const std::string ifRange = HeaderOf(request, "If-Range");
    if (bRanges && RangeStart(range, nStart) && (ifRange.empty() || ifRange == validator || behaviour.bIgnoreIfRange))
    {
        const size_t nSize = body.size();
        if (nStart >= nSize)
        {
            nStatus = 416;
            contentRange = "bytes */" + std::to_string(nSize);
            body.clear();
        }
        else
        {
            nStatus = 206;
            contentRange = "bytes " + std::to_string(nStart) + "-" + std::to_string(nSize - 1) + "/" +
                           std::to_string(nSize);
            body.erase(0, nStart);
        }
    }

    if (nStatus == 304)
        body.clear(); // "not modified" has no body
    else if (nStatus != 200 && nStatus != 206 && nStatus != 416)
    {
        char page[160];
        snprintf(page, sizeof(page), "<html><body><h1>%d %s</h1></body></html>\r\n", nStatus, ReasonOf(nStatus));
        body = page;
    }

    if (behaviour.nSilentMs && stall(behaviour.nSilentMs))
        return;

    std::string head = "HTTP/1.1 " + std::to_string(nStatus) + " " + ReasonOf(nStatus) + "\r\n";
    head += "Content-Type: " + (nStatus == 200 || nStatus == 206 ? ContentTypeOf(path) : std::string("text/html")) +
            "\r\n";
    if (bRanges)
        head += "Accept-Ranges: bytes\r\n";
    if (!contentRange.empty())
        head += "Content-Range: " + contentRange + "\r\n";
    if (!validator.empty() && nStatus != 404 && nStatus < 500)
        head += (behaviour.validator == Validator::ETag ? "ETag: " : "Last-Modified: ") + validator + "\r\n";
    if (!behaviour.location.empty())
        head += "Location: " + behaviour.location + "\r\n";
    if (behaviour.bGzip && nStatus == 200)
    {
        body = GzipStored(body);
        head += "Content-Encoding: gzip\r\n";
    }
    if (!behaviour.bOmitContentLength && !behaviour.bEndless)
        head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    // Every run of a program under test must see the content of this run,
    // never a cached copy of an earlier one.
    head += "Cache-Control: no-cache\r\nConnection: close\r\n\r\n";
    if (!SendAll(s, head.data(), head.size()) || method == "HEAD")
    {
        ::shutdown(s, SD_SEND);
        return;
    }

    if (behaviour.bEndless && !body.empty())
    {
        // In blocks of 4 KB, not one short body at a time, and at the rate
        // when one is set. (Wine's synchronous binding hands a fast stream
        // on only in bursts, seconds apart: a paced one tries the bound, an
        // unpaced one the deadline as much.)
        std::string block;
        while (block.size() < 4096)
            block += body;
        const DWORD nBlockMs = behaviour.nBytesPerSecond ? static_cast<DWORD>(std::max<size_t>(
                                                               1, block.size() * 1000 / behaviour.nBytesPerSecond))
                                                         : 0;
        while (SendAll(s, block.data(), block.size()) && !(nBlockMs && Pause(nBlockMs)))
        {
        }
        return;
    }

    // The body, in slices small enough for the rate, the stall and the drop.
    bool bDrop = false;
    if (behaviour.nDropAfter < body.size())
    {
        std::lock_guard<std::mutex> guard(m_lock);
        bDrop = behaviour.nDrops < 0 || m_drops[path] < behaviour.nDrops;
        if (bDrop)
            ++m_drops[path];
        if (bDrop && !behaviour.changeTo.empty())
        {
            m_content[path] = behaviour.changeTo;
            m_versions[path] = ++m_nLastVersion;
            m_behaviour[path].changeTo.clear();
        }
    }
    const size_t nLimit = bDrop ? behaviour.nDropAfter : body.size();
    const size_t nSlice = behaviour.nBytesPerSecond ? std::max<size_t>(1, behaviour.nBytesPerSecond / 10) : 64 * 1024;
    const DWORD nSliceMs = behaviour.nBytesPerSecond
                               ? static_cast<DWORD>(std::max<size_t>(1, nSlice * 1000 / behaviour.nBytesPerSecond))
                               : 0;
    bool bStalled = behaviour.nStallMs == 0;
    size_t nSent = 0;
    while (nSent < nLimit)
    {
        if (!bStalled && nSent >= behaviour.nStallAfter)
        {
            bStalled = true;
            if (stall(behaviour.nStallMs))
                return;
        }
        size_t n = std::min(nSlice, nLimit - nSent);
        if (!bStalled)
            n = std::min(n, behaviour.nStallAfter - nSent);
        if (!SendAll(s, body.data() + nSent, n))
            return;
        nSent += n;
        if (nSliceMs && nSent < nLimit && Pause(nSliceMs))
            return;
    }
    if (!bStalled && nSent >= behaviour.nStallAfter && stall(behaviour.nStallMs))
        return;
    ::shutdown(s, SD_SEND);
}

} // namespace qftest
