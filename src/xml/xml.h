// A small DOM over libxml2: safe loading that honours the declared encoding, selection of
// child elements by name and by "\"-separated paths, typed attribute reads with defaults,
// and building and serialising new documents. Texts are UTF-8.
//
// Loading never touches the network, never loads a DTD and never substitutes entities, so
// a document whose DOCTYPE defines external entities reads no file and no URL.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct _xmlDoc;
struct _xmlNode;

namespace q2 {

// Strict decimal integer: an optional sign and 1+ digits, nothing else, within 32 bits.
bool TryParseXmlInt(const std::string& text, int32_t* value);
// "YYYY-MM-DDThh:mm:ss" (runs of digits separated by "-", "-", "T", ":", ":"; no fraction,
// no zone) as a local day count; false when the form or the calendar fields are invalid.
bool TryParseXmlDateTime(const std::string& text, double* value);
// A day count in the form "%.4d-%.2d-%.2dT%.2d:%.2d:%.2d" (0 is 1899-12-30T00:00:00).
std::string FormatXmlDateTime(double value);

// A non-owning handle on a node of a tXmlDocument; may be null (false).
class tXmlNode {
 public:
  tXmlNode() = default;
  explicit tXmlNode(_xmlNode* node) : node_(node) {}
  explicit operator bool() const { return node_ != nullptr; }
  _xmlNode* Raw() const { return node_; }

  // Node name ("#text", "#comment" for such nodes); empty for a null handle.
  std::string Name() const;
  bool IsElement() const;
  // First direct child element named exactly `name`, or null.
  tXmlNode Child(const std::string& name) const;
  // Follows a path of names separated by "\", each step the first direct child element
  // of that name; null when a step is missing.
  tXmlNode Path(const std::string& path) const;
  // All direct child elements named `name`, in document order.
  std::vector<tXmlNode> Children(const std::string& name) const;
  // Every direct child node (elements, text, comments...), in document order.
  std::vector<tXmlNode> ChildNodes() const;
  // The text content (all descendant text).
  std::string Text() const;

  bool HasAttr(const std::string& name) const;
  std::string Attr(const std::string& name, const std::string& def = std::string()) const;
  // Strict decimal conversion; a present attribute that is not a 32-bit decimal integer
  // throws "''<text>'' is not a valid integer value".
  int32_t IntAttr(const std::string& name, int32_t def) const;
  // "YYYY-MM-DDThh:mm:ss" as a local day count; a present attribute in another form throws
  // "''<text>'' is not a valid date and time".
  double DateTimeAttr(const std::string& name, double def) const;

  // Building.
  tXmlNode AppendChild(const std::string& name);
  void SetAttr(const std::string& name, const std::string& value);
  void SetText(const std::string& text);

 private:
  _xmlNode* node_ = nullptr;
};

// Owns one libxml2 document (or none). Move-only.
class tXmlDocument final {
 public:
  tXmlDocument() = default;
  ~tXmlDocument();
  tXmlDocument(const tXmlDocument&) = delete;
  tXmlDocument& operator=(const tXmlDocument&) = delete;
  tXmlDocument(tXmlDocument&& other) noexcept;
  tXmlDocument& operator=(tXmlDocument&& other) noexcept;

  // Replace the content; throw std::runtime_error with the parser's message on malformed
  // input (the document is then empty). An empty input is malformed.
  void LoadFromFile(const std::string& path);
  void LoadFromMemory(const void* data, size_t size);
  void LoadFromString(const std::string& bytes) { LoadFromMemory(bytes.data(), bytes.size()); }

  // A new document with the declaration version "1.0", encoding "UTF-8" and a root element.
  tXmlNode CreateNew(const std::string& rootName);
  void Clear();
  bool IsEmpty() const { return doc_ == nullptr; }

  // The document element, or null.
  tXmlNode Root() const;
  // The first top-level element named `name`, or null.
  tXmlNode TopElement(const std::string& name) const;
  // The encoding named by the XML declaration; empty when there is no declaration or it
  // names no encoding.
  std::string DeclaredEncoding() const;

  // UTF-8 text starting with the XML declaration.
  std::string SaveToString() const;
  // Throws std::runtime_error with the system's message on failure.
  void SaveToFile(const std::string& path) const;

  _xmlDoc* Raw() const { return doc_; }

 private:
  _xmlDoc* doc_ = nullptr;
};

}  // namespace q2
