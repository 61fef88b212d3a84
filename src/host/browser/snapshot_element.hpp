// An element as a selector found it: its attributes and texts at that moment.
#pragma once

#include <korvane/browser/session.hpp>

#include <map>
#include <string>
#include <utility>

namespace korvane::browser::detail {

class SnapshotElement final : public Element {
 public:
  SnapshotElement(std::map<std::string, std::string> attrib, std::string text, std::string all_text)
      : attrib_(std::move(attrib)), text_(std::move(text)), all_text_(std::move(all_text)) {}
  [[nodiscard]] const std::map<std::string, std::string>& attrib() const override { return attrib_; }
  [[nodiscard]] std::string get_all_text() const override { return all_text_; }
  [[nodiscard]] std::string text() const override { return text_; }

 private:
  std::map<std::string, std::string> attrib_;
  std::string text_;
  std::string all_text_;
};

}  // namespace korvane::browser::detail
