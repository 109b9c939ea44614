#include <curl/curl.h>
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "remote/engines/engine.h"

namespace kelv::remote {

namespace {

struct EasyFree {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
using Easy = std::unique_ptr<CURL, EasyFree>;

struct MultiFree {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
using Multi = std::unique_ptr<CURLM, MultiFree>;

struct ListFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using List = std::unique_ptr<curl_slist, ListFree>;

// The program is single-threaded; the library is set up once and left so.
bool global_init() {
  static const bool done = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return done;
}

size_t append_body(char* data, size_t size, size_t count, void* sink) {
  static_cast<std::string*>(sink)->append(data, size * count);
  return size * count;
}

struct Upload {
  std::string_view bytes;
  size_t done = 0;
};

size_t read_upload(char* buffer, size_t size, size_t count, void* source) {
  auto* upload = static_cast<Upload*>(source);
  const size_t n = std::min(size * count, upload->bytes.size() - upload->done);
  std::copy_n(upload->bytes.data() + upload->done, n, buffer);
  upload->done += n;
  return n;
}

// Letters, digits and "/-_.~" stay; anything else is percent-encoded.
std::string escaped(std::string_view object) {
  std::string out;
  for (const char c : object) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '/' || c == '-' || c == '_' || c == '.' || c == '~';
    if (plain)
      out += c;
    else
      out += fmt::format("%{:02X}", static_cast<unsigned char>(c));
  }
  return out;
}

class HttpClient final : public Client {
 public:
  HttpClient(const ServerUrl& url, Timeouts timeouts) : url_(url), timeouts_(timeouts) {}

  std::expected<void, std::string> open() {
    if (!global_init()) return failure("cannot initialise libcurl");
    easy_.reset(curl_easy_init());
    multi_.reset(curl_multi_init());
    if (!easy_ || !multi_) return failure("cannot initialise libcurl");
    headers_.reset(curl_slist_append(nullptr, "Expect:"));
    CURL* h = easy_.get();
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts_.connect_ms));
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers_.get());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, append_body);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &body_);
    curl_easy_setopt(h, CURLOPT_READFUNCTION, read_upload);
    if (!url_.user.empty() || !url_.password.empty()) {
      curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
      curl_easy_setopt(h, CURLOPT_USERNAME, url_.user.c_str());
      curl_easy_setopt(h, CURLOPT_PASSWORD, url_.password.c_str());
    }
    return {};
  }

  std::expected<std::optional<std::string>, std::string> get(std::string_view object) override {
    curl_easy_setopt(easy_.get(), CURLOPT_HTTPGET, 1L);
    auto status = perform("GET", object);
    if (!status) return std::unexpected(status.error());
    if (*status == 404) return std::nullopt;
    if (*status != 200) return failure(answered("GET", object, *status));
    return std::move(body_);
  }

  std::expected<bool, std::string> has(std::string_view object) override {
    curl_easy_setopt(easy_.get(), CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(easy_.get(), CURLOPT_NOBODY, 1L);
    auto status = perform("HEAD", object);
    if (!status) return std::unexpected(status.error());
    if (*status == 404) return false;
    if (*status != 200) return failure(answered("HEAD", object, *status));
    return true;
  }

  std::expected<void, std::string> put(std::string_view object, std::string_view bytes) override {
    Upload upload{.bytes = bytes};
    curl_easy_setopt(easy_.get(), CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(easy_.get(), CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(easy_.get(), CURLOPT_READDATA, &upload);
    curl_easy_setopt(easy_.get(), CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(bytes.size()));
    auto status = perform("PUT", object);
    if (!status) return std::unexpected(status.error());
    if (*status != 200 && *status != 201 && *status != 204)
      return failure(answered("PUT", object, *status));
    return {};
  }

 private:
  std::unexpected<std::string> failure(std::string_view what) const {
    return std::unexpected(scrubbed(fmt::format("{}: {}", url_.display, what), url_));
  }

  static std::string answered(std::string_view method, std::string_view object, long status) {
    return fmt::format("{} {} answered {}", method, object, status);
  }

  // Runs the request set up by the caller; the HTTP status, or the
  // transport's failure.
  std::expected<long, std::string> perform(std::string_view method, std::string_view object) {
    const std::string address = url_.address(escaped(object));
    CURL* h = easy_.get();
    curl_easy_setopt(h, CURLOPT_URL, address.c_str());
    body_.clear();
    error_[0] = '\0';
    const CURLcode code = transfer();
    if (code == CURLE_OPERATION_TIMEDOUT && error_[0] == '\0')
      return failure(
          fmt::format("{} {} failed: no answer within {} ms", method, object, timeouts_.io_ms));
    if (code != CURLE_OK) {
      const std::string why = error_[0] != '\0' ? error_ : curl_easy_strerror(code);
      return failure(fmt::format("{} {} failed: {}", method, object, why));
    }
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    return status;
  }

  // Runs the request, ending it when no byte has moved either way for the
  // io timeout (libcurl's own low-speed limit counts whole seconds).
  CURLcode transfer() {
    using Clock = std::chrono::steady_clock;
    CURL* h = easy_.get();
    if (curl_multi_add_handle(multi_.get(), h) != CURLM_OK) return CURLE_FAILED_INIT;
    auto last_progress = Clock::now();
    curl_off_t moved = -1;
    CURLcode result = CURLE_OK;
    for (int running = 1;;) {
      if (curl_multi_perform(multi_.get(), &running) != CURLM_OK) {
        result = CURLE_RECV_ERROR;
        break;
      }
      if (running == 0) {
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi_.get(), &left))
          if (msg->msg == CURLMSG_DONE) result = msg->data.result;
        break;
      }
      curl_off_t down = 0, up = 0;
      curl_easy_getinfo(h, CURLINFO_SIZE_DOWNLOAD_T, &down);
      curl_easy_getinfo(h, CURLINFO_SIZE_UPLOAD_T, &up);
      if (down + up != moved) {
        moved = down + up;
        last_progress = Clock::now();
      } else if (Clock::now() - last_progress > std::chrono::milliseconds(timeouts_.io_ms)) {
        result = CURLE_OPERATION_TIMEDOUT;
        break;
      }
      curl_multi_poll(multi_.get(), nullptr, 0, 50, nullptr);
    }
    curl_multi_remove_handle(multi_.get(), h);
    return result;
  }

  ServerUrl url_;
  Timeouts timeouts_;
  Multi multi_;
  Easy easy_;
  List headers_;
  std::string body_;
  char error_[CURL_ERROR_SIZE] = {};
};

}  // namespace

std::expected<std::unique_ptr<Client>, std::string> connect_http(const ServerUrl& url,
                                                                 Timeouts timeouts) {
  auto client = std::make_unique<HttpClient>(url, timeouts);
  if (auto opened = client->open(); !opened) return std::unexpected(opened.error());
  return client;
}

}  // namespace kelv::remote
