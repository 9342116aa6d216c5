#include "system/SystemNetworkClient.hpp"

#include <atomic>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <unistd.h>


#include "base/Cancellation.hpp"
#include "base/Files.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Random.hpp"
#include "base/Strings.hpp"
#include "system/CurlLibrary.hpp"

namespace vt {

namespace {

const Logger& networkLog() {
    static const Logger logger("NetworkClient");
    return logger;
}

// What one transfer's callbacks share with the code that started it.
struct Transfer {
    std::string* body = nullptr;  // in-memory transfers
    int fd = -1;                  // downloads
    int fileError = 0;
    std::uint64_t received = 0;
    std::optional<std::uint64_t> limit;
    bool overLimit = false;
    HttpHeaders headers;
    std::optional<std::uint64_t> announcedLength;
    std::stop_token stop;
    bool cancelled = false;
    const DownloadProgressHandler* onProgress = nullptr;
    // An exception must not unwind through libcurl's C frames: it is kept and rethrown.
    std::exception_ptr callbackError;
};

std::size_t onHeaderLine(char* data, std::size_t size, std::size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const std::size_t length = size * count;
    try {
        std::string_view line(data, length);
        // Each response of a redirect chain (or a proxy's CONNECT answer) starts a fresh set.
        if (line.starts_with("HTTP/")) {
            transfer.headers.clear();
            transfer.announcedLength.reset();
            return length;
        }
        std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) return length;
        std::string name = trim(line.substr(0, colon));
        std::string value = trim(line.substr(colon + 1));
        if (equalsIgnoringCase(name, "Content-Length")) {
            char* end = nullptr;
            unsigned long long parsed = std::strtoull(value.c_str(), &end, 10);
            if (end != value.c_str() && *end == '\0') transfer.announcedLength = parsed;
        }
        transfer.headers.add(std::move(name), std::move(value));
    } catch (...) {
        transfer.callbackError = std::current_exception();
        return 0;
    }
    return length;
}

bool writeFully(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        ssize_t written = ::write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

std::size_t onBodyBytes(char* data, std::size_t size, std::size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const std::size_t length = size * count;
    // Returning a count other than length makes libcurl abort the transfer.
    if (transfer.limit && transfer.received + length > *transfer.limit) {
        transfer.overLimit = true;
        return 0;
    }
    try {
        if (transfer.fd >= 0) {
            if (!writeFully(transfer.fd, data, length)) {
                transfer.fileError = errno;
                return 0;
            }
        } else {
            transfer.body->append(data, length);
        }
        transfer.received += length;
        if (transfer.onProgress != nullptr && *transfer.onProgress) {
            (*transfer.onProgress)(DownloadProgress{transfer.received, transfer.announcedLength});
        }
    } catch (...) {
        transfer.callbackError = std::current_exception();
        return 0;
    }
    return length;
}

// libcurl calls this while data flows and about once a second while it waits.
int onTransferInfo(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto& transfer = *static_cast<Transfer*>(user);
    if (transfer.stop.stop_requested()) {
        transfer.cancelled = true;
        return 1;
    }
    return 0;
}

bool isTlsFailure(CURLcode code) {
    switch (code) {
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_USE_SSL_FAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CLIENTCERT: return true;
        default: return false;
    }
}

std::string overLimitDetail(std::uint64_t limit) {
    return "the body is larger than the limit of " + std::to_string(limit) + " bytes";
}

NetworkError errorFor(CURLcode code, long status, const HttpRequest& request, const Transfer& transfer) {
    if (isTlsFailure(code)) return NetworkError::sslError();
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT: return NetworkError::timeout();
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL: return NetworkError::invalidURL(request.url);
        // A redirect loop: the answer we got was one more redirect.
        case CURLE_TOO_MANY_REDIRECTS: return NetworkError::invalidResponse(static_cast<int>(status));
        // The server closed the connection without answering at all.
        case CURLE_GOT_NOTHING: return NetworkError::noData();
        case CURLE_FILESIZE_EXCEEDED: return NetworkError::decodingFailed(overLimitDetail(transfer.limit.value_or(0)));
        case CURLE_WRITE_ERROR:
            if (transfer.overLimit) return NetworkError::decodingFailed(overLimitDetail(transfer.limit.value_or(0)));
            return NetworkError::connectionFailed();
        case CURLE_BAD_CONTENT_ENCODING: return NetworkError::decodingFailed("the body's content encoding is broken");
        default: return NetworkError::connectionFailed();
    }
}

// Only absolute http and https addresses are fetched; libcurl alone would guess a scheme for
// "example.org/x" and would follow file: or other schemes.
void requireHttpUrl(const std::string& url) {
    const CurlLibrary& curl = CurlLibrary::shared();
    CURLU* parsed = curl.url();
    if (parsed == nullptr) throw std::bad_alloc();
    bool valid = curl.urlSet(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
    if (valid) {
        char* scheme = nullptr;
        valid = curl.urlGet(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
                (std::strcmp(scheme, "http") == 0 || std::strcmp(scheme, "https") == 0);
        curl.free(scheme);
    }
    curl.urlCleanup(parsed);
    if (!valid) throw NetworkError::invalidURL(url);
}

struct HeaderList {
    const CurlLibrary& curl = CurlLibrary::shared();
    curl_slist* list = nullptr;
    ~HeaderList() { curl.slistFreeAll(list); }
    void append(const std::string& line) {
        curl_slist* longer = curl.slistAppend(list, line.c_str());
        if (longer == nullptr) throw std::bad_alloc();
        list = longer;
    }
};

std::string temporarySibling(const std::string& path) {
    return path + ".part-" + std::to_string(::getpid()) + "-" + std::to_string(randomGenerator()() % 1000000000);
}

// The partial file of a download: removed unless the download completed.
class PartialFile {
public:
    explicit PartialFile(std::string path) : path_(std::move(path)) {
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd_ < 0) throw FileWriteError("Cannot create " + path_ + ": " + std::strerror(errno));
    }
    ~PartialFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!kept_) ::unlink(path_.c_str());
    }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    int fd() const noexcept { return fd_; }
    const std::string& path() const noexcept { return path_; }

    void moveTo(const std::string& destination) {
        int result = ::fsync(fd_);
        int closeResult = ::close(fd_);
        fd_ = -1;
        if (result != 0 || closeResult != 0) throw FileWriteError("Cannot flush " + path_ + ": " + std::strerror(errno));
        if (::rename(path_.c_str(), destination.c_str()) != 0) {
            throw FileWriteError("Cannot replace " + destination + ": " + std::strerror(errno));
        }
        kept_ = true;
    }

private:
    std::string path_;
    int fd_ = -1;
    bool kept_ = false;
};

}  // namespace

struct SystemNetworkClient::Impl {
    Options options;
    // Both set by the first transfer, so that a client nobody uses never loads libcurl.
    const CurlLibrary* library = nullptr;
    CURLSH* share = nullptr;
    std::once_flag started;
    std::array<std::mutex, CURL_LOCK_DATA_LAST> shareLocks;

    std::mutex poolMutex;
    std::vector<CURL*> idle;

    static void lockShare(CURL*, curl_lock_data data, curl_lock_access, void* user) {
        static_cast<Impl*>(user)->shareLocks[static_cast<std::size_t>(data)].lock();
    }
    static void unlockShare(CURL*, curl_lock_data data, void* user) {
        static_cast<Impl*>(user)->shareLocks[static_cast<std::size_t>(data)].unlock();
    }

    // A handle keeps its connections open between transfers; taking the most recently
    // returned one finds a live connection most often.
    CURL* acquire() {
        {
            std::scoped_lock lock(poolMutex);
            if (!idle.empty()) {
                CURL* handle = idle.back();
                idle.pop_back();
                return handle;
            }
        }
        CURL* handle = library->easyInit();
        if (handle == nullptr) throw std::bad_alloc();
        return handle;
    }

    void release(CURL* handle) {
        {
            std::scoped_lock lock(poolMutex);
            if (idle.size() < options.maxIdleHandles) {
                idle.push_back(handle);
                return;
            }
        }
        library->easyCleanup(handle);
    }

    void start() {
        std::call_once(started, [this] {
            const CurlLibrary& curl = CurlLibrary::shared();
            share = curl.shareInit();
            if (share == nullptr) throw std::bad_alloc();
            curl.shareSetopt(share, CURLSHOPT_LOCKFUNC, &Impl::lockShare);
            curl.shareSetopt(share, CURLSHOPT_UNLOCKFUNC, &Impl::unlockShare);
            curl.shareSetopt(share, CURLSHOPT_USERDATA, this);
            // Connections are not shared this way: libcurl does not support a shared connection
            // cache between concurrent threads. The handle pool keeps them instead.
            curl.shareSetopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
            curl.shareSetopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
            library = &curl;
        });
    }

    HttpResponse perform(const HttpRequest& request, Transfer& transfer, bool acceptCompressed);
};

HttpResponse SystemNetworkClient::Impl::perform(const HttpRequest& request, Transfer& transfer,
                                                bool acceptCompressed) {
    if (transfer.stop.stop_requested()) throw CancellationError();
    start();
    const CurlLibrary& curl = *library;
    requireHttpUrl(request.url);

    CURL* handle = acquire();
    // Resetting keeps the handle's connections but forgets the pointers into this call's
    // frame (error buffer, header list, callback data) before the handle waits in the pool.
    struct Release {
        Impl* impl;
        CURL* handle;
        ~Release() {
            impl->library->easyReset(handle);
            impl->release(handle);
        }
    } release{this, handle};

    char errorText[CURL_ERROR_SIZE] = {};
    HeaderList headerLines;
    bool hasUserAgent = false;
    bool hasIfNoneMatch = false;
    for (const auto& [name, value] : request.headers.entries()) {
        hasUserAgent = hasUserAgent || equalsIgnoringCase(name, "User-Agent");
        hasIfNoneMatch = hasIfNoneMatch || equalsIgnoringCase(name, "If-None-Match");
        // "Name;" is libcurl's way of sending a field with an empty value.
        headerLines.append(value.empty() ? name + ";" : name + ": " + value);
    }
    if (!hasUserAgent) headerLines.append(std::string("User-Agent: ") + kDefaultUserAgent);
    if (request.ifNoneMatch && !hasIfNoneMatch) headerLines.append("If-None-Match: " + *request.ifNoneMatch);
    // No "Expect: 100-continue" round trip before a POST body.
    headerLines.append("Expect:");

    double seconds = request.timeoutSeconds > 0 ? request.timeoutSeconds : kDefaultRequestTimeoutSeconds;
    long timeoutMs = std::max(1L, std::lround(seconds * 1000.0));

    curl.easySetopt(handle, CURLOPT_URL, request.url.c_str());
    curl.easySetopt(handle, CURLOPT_SHARE, share);
    curl.easySetopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl.easySetopt(handle, CURLOPT_ERRORBUFFER, errorText);
    curl.easySetopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    // What was asked for over https never continues over plain http, where anyone on the way
    // could change it.
    const bool secure = startsWith(toLower(request.url), "https://");
    curl.easySetopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    curl.easySetopt(handle, CURLOPT_FOLLOWLOCATION, request.maxRedirects > 0 ? 1L : 0L);
    curl.easySetopt(handle, CURLOPT_MAXREDIRS, static_cast<long>(std::max(0, request.maxRedirects)));
    curl.easySetopt(handle, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
    if (request.stallTimeoutSeconds && *request.stallTimeoutSeconds > 0) {
        curl.easySetopt(handle, CURLOPT_TIMEOUT_MS, 0L);
        curl.easySetopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl.easySetopt(handle, CURLOPT_LOW_SPEED_TIME,
                        std::max(1L, static_cast<long>(std::ceil(*request.stallTimeoutSeconds))));
    } else {
        curl.easySetopt(handle, CURLOPT_TIMEOUT_MS, timeoutMs);
    }
    curl.easySetopt(handle, CURLOPT_HTTPHEADER, headerLines.list);
    if (acceptCompressed) curl.easySetopt(handle, CURLOPT_ACCEPT_ENCODING, "");
    const std::optional<std::string>& caFile = request.caFile ? request.caFile : options.caFile;
    if (caFile) curl.easySetopt(handle, CURLOPT_CAINFO, caFile->c_str());
    if (options.caFolder) curl.easySetopt(handle, CURLOPT_CAPATH, options.caFolder->c_str());
    if (transfer.limit) {
        curl.easySetopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(*transfer.limit));
    }
    switch (request.method) {
        case HttpMethod::Get: curl.easySetopt(handle, CURLOPT_HTTPGET, 1L); break;
        case HttpMethod::Head: curl.easySetopt(handle, CURLOPT_NOBODY, 1L); break;
        case HttpMethod::Post:
            curl.easySetopt(handle, CURLOPT_POST, 1L);
            curl.easySetopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
            curl.easySetopt(handle, CURLOPT_POSTFIELDS, request.body.data());
            break;
    }
    curl.easySetopt(handle, CURLOPT_HEADERFUNCTION, onHeaderLine);
    curl.easySetopt(handle, CURLOPT_HEADERDATA, &transfer);
    curl.easySetopt(handle, CURLOPT_WRITEFUNCTION, onBodyBytes);
    curl.easySetopt(handle, CURLOPT_WRITEDATA, &transfer);
    curl.easySetopt(handle, CURLOPT_XFERINFOFUNCTION, onTransferInfo);
    curl.easySetopt(handle, CURLOPT_XFERINFODATA, &transfer);
    curl.easySetopt(handle, CURLOPT_NOPROGRESS, 0L);

    CURLcode code = curl.easyPerform(handle);

    long status = 0;
    curl.easyGetinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (transfer.callbackError) std::rethrow_exception(transfer.callbackError);
    if (transfer.cancelled || (code != CURLE_OK && transfer.stop.stop_requested())) throw CancellationError();
    if (transfer.fileError != 0) {
        throw FileWriteError(std::string("Cannot write the downloaded file: ") + std::strerror(transfer.fileError));
    }
    if (code != CURLE_OK) {
        std::string cause = errorText[0] != '\0' ? std::string(errorText) : std::string(curl.easyStrerror(code));
        // The address itself was checked: a protocol refused now is the one a redirect named.
        if (code == CURLE_UNSUPPORTED_PROTOCOL && secure) {
            throw NetworkError::insecureRedirect(transfer.headers.get("Location").value_or(request.url)).withCause(cause);
        }
        NetworkError error = errorFor(code, status, request, transfer).withCause(cause);
        networkLog().debug(request.url + ": " + error.description() + " (" + cause + ")");
        throw error;
    }

    HttpResponse response;
    response.statusCode = static_cast<int>(status);
    char* effectiveUrl = nullptr;
    if (curl.easyGetinfo(handle, CURLINFO_EFFECTIVE_URL, &effectiveUrl) == CURLE_OK && effectiveUrl != nullptr) {
        response.url = effectiveUrl;
    } else {
        response.url = request.url;
    }
    response.headers = std::move(transfer.headers);
    return response;
}

SystemNetworkClient::SystemNetworkClient() : SystemNetworkClient(Options{}) {}

SystemNetworkClient::SystemNetworkClient(Options options) : impl_(std::make_unique<Impl>()) {
    if (!options.caFile) {
        options.caFile = paths::environmentValue("CURL_CA_BUNDLE");
        if (!options.caFile) options.caFile = paths::environmentValue("SSL_CERT_FILE");
    }
    if (!options.caFolder) options.caFolder = paths::environmentValue("SSL_CERT_DIR");
    impl_->options = std::move(options);
}

SystemNetworkClient::~SystemNetworkClient() {
    if (impl_->library == nullptr) return;
    for (CURL* handle : impl_->idle) impl_->library->easyCleanup(handle);
    impl_->library->shareCleanup(impl_->share);
}

HttpResponse SystemNetworkClient::send(const HttpRequest& request, std::stop_token stop) {
    std::string body;
    Transfer transfer;
    transfer.body = &body;
    // A HEAD has no body to bound, and libcurl would hold the announced length against the bound.
    if (request.method != HttpMethod::Head) transfer.limit = request.maxBodyBytes.value_or(kDefaultMaxBodyBytes);
    transfer.stop = std::move(stop);
    HttpResponse response = impl_->perform(request, transfer, true);
    response.body = std::move(body);
    return response;
}

namespace {
std::atomic<std::uint64_t> downloadLimitBytes{8ull << 30};
}  // namespace

void SystemNetworkClient::setDownloadLimit(std::uint64_t bytes) noexcept { downloadLimitBytes = bytes; }

std::uint64_t SystemNetworkClient::downloadLimit() noexcept { return downloadLimitBytes; }

HttpResponse SystemNetworkClient::download(const HttpRequest& request, const std::string& destinationPath,
                                           const DownloadProgressHandler& onProgress, std::stop_token stop) {
    if (stop.stop_requested()) throw CancellationError();
    requireHttpUrl(request.url);
    PartialFile partial(temporarySibling(destinationPath));
    Transfer transfer;
    transfer.fd = partial.fd();
    transfer.limit = std::min(request.maxBodyBytes.value_or(downloadLimit()), downloadLimit());
    transfer.onProgress = &onProgress;
    transfer.stop = std::move(stop);
    HttpResponse response = impl_->perform(request, transfer, false);
    if (!response.isSuccess()) throw NetworkError::invalidResponse(response.statusCode);
    if (transfer.received == 0) throw NetworkError::noData();
    partial.moveTo(destinationPath);
    return response;
}

}  // namespace vt
