// A loopback HTTPS server for the offline demo: serves the pages of a page
// folder under their own links, with a certificate made for their hosts.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace korvane::cli {

class DemoServer {
 public:
  // Serves the pages listed in `folder`/manifest.json over HTTPS on
  // 127.0.0.1 (an ephemeral port) with a new self-signed certificate for
  // `hosts`. A request is answered with the page whose link is
  // "https://" + Host + target, else 404. Throws std::runtime_error when the
  // server cannot start.
  DemoServer(const std::filesystem::path& folder, const std::vector<std::string>& hosts);
  ~DemoServer();
  DemoServer(const DemoServer&) = delete;
  DemoServer& operator=(const DemoServer&) = delete;

  [[nodiscard]] int port() const noexcept;
  // The certificate, PEM, for clients to trust.
  [[nodiscard]] const std::string& certificate_pem() const noexcept;
  // Base64 of the SHA-256 of the certificate's public key (Chromium's
  // --ignore-certificate-errors-spki-list form).
  [[nodiscard]] const std::string& public_key_hash() const noexcept;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvane::cli
