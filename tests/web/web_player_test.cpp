// The browser player (tools/web) in a real headless Chromium against a real gateway with
// two sample logic servers: the page is served over HTTP from loopback, connects over
// ws:// and over wss:// (a certificate made here, trusted by this browser profile through
// its key's hash), sends an order and shows the answers of both logic servers.
//
// Chromium is driven by its DevTools protocol over --remote-debugging-pipe: JSON messages,
// each ended by a zero byte, read by the browser on its fd 3 and written on its fd 4. Two
// FIFOs give it those descriptors, so the browser runs as any other test child.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <json/json.h>

#include <chrono>
#include <initializer_list>
#include <string>
#include <vector>

#include "hall_run.h"
#include "logic_servers.h"
#include "test_support.h"

using namespace testsupport;

namespace {

const char* const kChromium = "/usr/bin/chromium";

Json::Value object(std::initializer_list<std::pair<const char*, Json::Value>> members) {
  Json::Value v(Json::objectValue);
  for (const auto& m : members) v[m.first] = m.second;
  return v;
}

class Chromium {
 public:
  ~Chromium() { stop(); }

  bool start(const TempDir& dir, const std::vector<std::string>& extra_flags) {
    const std::string to_browser = dir.file("cdp-in"), from_browser = dir.file("cdp-out");
    if (mkfifo(to_browser.c_str(), 0600) != 0 || mkfifo(from_browser.c_str(), 0600) != 0) return false;
    std::string cmd = std::string("exec ") + kChromium +
                      " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
                      " --disable-background-networking --disable-component-update --disable-sync"
                      " --remote-debugging-pipe --user-data-dir=" +
                      dir.file("profile");
    for (const std::string& f : extra_flags) cmd += " '" + f + "'";
    cmd += " about:blank 3<" + to_browser + " 4>" + from_browser;
    // Both ends are opened read-write here, so that neither open waits for the browser.
    in_ = open(from_browser.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    out_ = open(to_browser.c_str(), O_RDWR | O_CLOEXEC);
    if (in_ < 0 || out_ < 0) return false;
    return proc_.start({"/bin/sh", "-c", cmd}, dir.path(), "", dir.file("chromium.err"));
  }

  // Sends one command and reads messages (events are passed over) until its reply.
  // Returns the "result" member, or a null value (with the reason in error()) on an
  // error or time-out.
  Json::Value call(const std::string& method, const Json::Value& params = Json::objectValue,
                   const std::string& session = "", int timeout_ms = 30000) {
    const int id = ++last_id_;
    Json::Value msg = object({{"id", id}, {"method", method}, {"params", params}});
    if (!session.empty()) msg["sessionId"] = session;
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    const std::string text = Json::writeString(w, msg) + std::string(1, '\0');
    for (size_t done = 0; done < text.size();) {
      const ssize_t n = write(out_, text.data() + done, text.size() - done);
      if (n < 0 && errno != EINTR) return failed(method + ": cannot write to the browser");
      done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      for (size_t end; (end = buf_.find('\0')) != std::string::npos;) {
        Json::Value m;
        std::string errs;
        const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
        const bool ok = reader->parse(buf_.data(), buf_.data() + end, &m, &errs);
        buf_.erase(0, end + 1);
        if (!ok || m.get("id", 0).asInt() != id) continue;
        return m.isMember("error") ? failed(method + ": " + m["error"].toStyledString()) : m["result"];
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !proc_.running()) return failed(method + ": no reply in time");
      pollfd pfd = {in_, POLLIN, 0};
      char chunk[65536];
      ssize_t n = 0;
      if (poll(&pfd, 1, static_cast<int>(std::min<long>(left.count(), 500))) == 1 &&
          (n = read(in_, chunk, sizeof(chunk))) > 0)
        buf_.append(chunk, static_cast<size_t>(n));
    }
  }

  const std::string& error() const { return error_; }

  void stop() {
    if (proc_.pid() > 0) {
      const pid_t group = proc_.pid();
      call("Browser.close", Json::objectValue, "", 5000);
      proc_.wait(10000);
      proc_.stop(SIGKILL);
      kill(-group, SIGKILL);  // helpers of the browser left in its process group
    }
    if (in_ >= 0) close(in_);
    if (out_ >= 0) close(out_);
    in_ = out_ = -1;
  }

 private:
  Json::Value failed(const std::string& why) {
    error_ = why;
    return Json::Value();
  }

  Process proc_;
  int in_ = -1, out_ = -1;
  int last_id_ = 0;
  std::string buf_, error_;
};

// Connects the page to `url`, sends one order under `client_id`, waits for two answers
// and closes; resolves to the answers shown, then the connection's last state line.
std::string play_script(const std::string& url, int client_id) {
  return R"JS((async (url, clientId) => {
  if (document.readyState !== "complete") await new Promise((loaded) => addEventListener("load", loaded));
  const $ = (id) => document.getElementById(id);
  const wait = (pred, what) => new Promise((resolve, reject) => {
    const t0 = Date.now();
    const tick = () => {
      if (pred()) resolve();
      else if (Date.now() - t0 > 20000) reject(new Error(`no ${what}; state: ${$("state").textContent}`));
      else setTimeout(tick, 20);
    };
    tick();
  });
  const before = $("answers").children.length;
  const shown = () => [...$("answers").children].slice(before).map((li) => li.textContent);
  $("url").value = url;
  $("connect").click();
  await wait(() => !$("send").disabled, "connection");
  $("client").value = String(clientId);
  $("text").value = "order from the browser";
  $("send").click();
  await wait(() => shown().length >= 2, "two answers");
  $("disconnect").click();
  await wait(() => !$("connect").disabled, "close");
  return [...shown(), $("state").textContent].join("\n");
})()JS" + Json::valueToQuotedString(url.c_str()) +
         ", " + std::to_string(client_id) + ")";
}

TEST(WebPlayer, BrowserPlaysOverWsAndWss) {
  if (access(kChromium, X_OK) != 0) GTEST_SKIP() << "chromium is not installed (" << kChromium << ")";
  TempDir dir;
  const std::string spki = make_certificate(dir.path(), "127.0.0.1", "IP:127.0.0.1");
  ASSERT_FALSE(spki.empty()) << "openssl could not make the test certificate";

  LogicServer logic1("logic-1"), logic2("logic-2");
  ASSERT_TRUE(logic1.start());
  ASSERT_TRUE(logic2.start());
  HallConfig cfg;
  cfg.servers = {{1, logic1.port()}, {2, logic2.port()}};
  const std::vector<int> ports = free_ports(3);
  const int ws_port = ports[0], wss_port = ports[1], http_port = ports[2];
  cfg.attrs = {{"WsPort", std::to_string(ws_port)},
               {"WssPort", std::to_string(wss_port)},
               {"TlsCert", dir.file("cert.pem")},
               {"TlsKey", dir.file("key.pem")}};
  HallRun hall(cfg);
  ASSERT_TRUE(hall.start()) << hall.stderr_text();
  ASSERT_TRUE(wait_port(ws_port, 10000));
  ASSERT_TRUE(wait_port(wss_port, 10000));

  // The page, as any static web server hands it out.
  Process web;
  ASSERT_TRUE(web.start({"/usr/bin/env", "python3", "-m", "http.server", "--bind", "127.0.0.1", "--directory",
                         source_path("tools/web"), std::to_string(http_port)},
                        "", dir.file("http.out"), dir.file("http.err")));
  ASSERT_TRUE(wait_port(http_port, 20000)) << read_file(dir.file("http.err"));

  Chromium browser;
  ASSERT_TRUE(browser.start(dir, {"--ignore-certificate-errors-spki-list=" + spki}));
  const Json::Value created = browser.call("Target.createTarget", object({{"url", "about:blank"}}));
  ASSERT_TRUE(created.isObject()) << browser.error() << "\n" << read_file(dir.file("chromium.err"));
  const std::string session =
      browser.call("Target.attachToTarget", object({{"targetId", created["targetId"]}, {"flatten", true}}))["sessionId"]
          .asString();
  ASSERT_FALSE(session.empty()) << browser.error();
  // The reply comes once the page's document is committed; the script waits for its load.
  const Json::Value navigated = browser.call(
      "Page.navigate", object({{"url", "http://127.0.0.1:" + std::to_string(http_port) + "/index.html"}}), session);
  ASSERT_TRUE(navigated.isObject() && !navigated.isMember("errorText")) << browser.error() << navigated;

  const struct {
    std::string url;
    int client_id;
  } runs[] = {{"ws://127.0.0.1:" + std::to_string(ws_port) + "/", 5001},
              {"wss://127.0.0.1:" + std::to_string(wss_port) + "/", 5002}};
  for (const auto& run : runs) {
    SCOPED_TRACE(run.url);
    const Json::Value r = browser.call(
        "Runtime.evaluate",
        object({{"expression", play_script(run.url, run.client_id)}, {"awaitPromise", true}, {"returnByValue", true}}),
        session, 60000);
    ASSERT_TRUE(r.isObject()) << browser.error();
    ASSERT_FALSE(r.isMember("exceptionDetails")) << r["exceptionDetails"].toStyledString() << hall.process_log();
    const std::string shown = r["result"]["value"].asString();
    EXPECT_NE(shown.find("status 0: ok from logic-1\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("status 0: ok from logic-2\n"), std::string::npos) << shown;
    // The page closed with a close handshake that the gateway answered.
    EXPECT_NE(shown.find("closed (code 1000"), std::string::npos) << shown;
    const std::string forwarded = "forward client=" + std::to_string(run.client_id) + " data=order from the browser";
    EXPECT_TRUE(logic1.wait_matching(forwarded, 1, 5000));
    EXPECT_TRUE(logic2.wait_matching(forwarded, 1, 5000));
  }
}

}  // namespace
