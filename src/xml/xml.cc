// libxml2 behind the small DOM of xml.h.
//
// Parsing is done on a private parser context with XML_PARSE_NONET only: no entity
// substitution, no DTD loading, no default attributes from a DTD, no size limits lifted.
// With those options libxml2 leaves external entities unloaded; as a second line the
// process-wide external entity loader refuses every resource, so nothing outside the given
// bytes can ever be read while a document is parsed. Parser messages are collected by a
// structured handler installed for the calling thread around each parse (it also receives
// the reports that libxml2 makes without a context) and never reach stderr.
#include "xml/xml.h"

#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlsave.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "platform/datetime.h"
#include "platform/files.h"

namespace q2 {
namespace {

constexpr int kParseOptions = XML_PARSE_NONET;

const xmlChar* X(const std::string& s) { return reinterpret_cast<const xmlChar*>(s.c_str()); }
std::string S(const xmlChar* s) { return s ? std::string(reinterpret_cast<const char*>(s)) : ""; }

// Every external resource (entity, DTD) is refused.
xmlParserInputPtr RefuseExternalEntity(const char*, const char*, xmlParserCtxtPtr) {
  return nullptr;
}

void InitLibxml() {
  static std::once_flag once;
  std::call_once(once, [] {
    xmlInitParser();
    xmlSetExternalEntityLoader(RefuseExternalEntity);
  });
}

std::string TrimMessage(const char* text) {
  std::string s = text ? text : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

// Keeps the first error of level error or fatal.
struct tErrorSink {
  std::string first;
};

void CollectError(void* data, xmlErrorPtr error) {
  auto* sink = static_cast<tErrorSink*>(data);
  if (sink == nullptr || error == nullptr || error->level < XML_ERR_ERROR) return;
  if (sink->first.empty()) sink->first = TrimMessage(error->message);
}

void IgnoreGeneric(void*, const char*, ...) {}

// Routes the calling thread's libxml2 error reporting into a sink for one scope.
class tThreadErrorScope final {
 public:
  explicit tThreadErrorScope(tErrorSink* sink)
      : prevStructured_(xmlStructuredError),
        prevStructuredCtx_(xmlStructuredErrorContext),
        prevGeneric_(xmlGenericError),
        prevGenericCtx_(xmlGenericErrorContext) {
    xmlSetStructuredErrorFunc(sink, CollectError);
    xmlSetGenericErrorFunc(nullptr, IgnoreGeneric);
  }
  ~tThreadErrorScope() {
    xmlSetStructuredErrorFunc(prevStructuredCtx_, prevStructured_);
    xmlSetGenericErrorFunc(prevGenericCtx_, prevGeneric_);
  }
  tThreadErrorScope(const tThreadErrorScope&) = delete;
  tThreadErrorScope& operator=(const tThreadErrorScope&) = delete;

 private:
  xmlStructuredErrorFunc prevStructured_;
  void* prevStructuredCtx_;
  xmlGenericErrorFunc prevGeneric_;
  void* prevGenericCtx_;
};

struct tCtxtDeleter {
  void operator()(xmlParserCtxtPtr c) const { xmlFreeParserCtxt(c); }
};

// Qualified name of an element or attribute ("prefix:local" or "local").
std::string QName(const xmlChar* name, const xmlNs* ns) {
  std::string n = S(name);
  if (ns != nullptr && ns->prefix != nullptr) return S(ns->prefix) + ":" + n;
  return n;
}

bool IsElementNamed(const xmlNode* n, const std::string& name) {
  return n->type == XML_ELEMENT_NODE && QName(n->name, n->ns) == name;
}

// The attribute node itself, ignoring defaults that a DTD might declare.
xmlAttrPtr FindAttr(const xmlNode* node, const std::string& name) {
  if (node == nullptr || node->type != XML_ELEMENT_NODE) return nullptr;
  for (xmlAttrPtr a = node->properties; a != nullptr; a = a->next) {
    if (QName(a->name, a->ns) == name) return a;
  }
  return nullptr;
}

// A run of 1..9 decimal digits starting at text[pos]; advances pos.
bool ReadDigits(const std::string& text, size_t& pos, int& value) {
  size_t start = pos;
  value = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 9) {
    value = value * 10 + (text[pos] - '0');
    ++pos;
  }
  return pos > start && !(pos < text.size() && text[pos] >= '0' && text[pos] <= '9');
}

}  // namespace

bool TryParseXmlInt(const std::string& text, int32_t* value) {
  size_t pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) {
    negative = text[pos] == '-';
    ++pos;
  }
  if (pos >= text.size()) return false;
  int64_t v = 0;
  for (; pos < text.size(); ++pos) {
    char c = text[pos];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > int64_t{std::numeric_limits<int32_t>::max()} + 1) return false;
  }
  if (negative) v = -v;
  if (v > std::numeric_limits<int32_t>::max() || v < std::numeric_limits<int32_t>::min()) {
    return false;
  }
  if (value != nullptr) *value = static_cast<int32_t>(v);
  return true;
}

bool TryParseXmlDateTime(const std::string& text, double* value) {
  static constexpr char kSeparators[] = {'-', '-', 'T', ':', ':'};
  int parts[6] = {};
  size_t pos = 0;
  for (int i = 0; i < 6; ++i) {
    if (!ReadDigits(text, pos, parts[i])) return false;
    if (i < 5) {
      if (pos >= text.size() || text[pos] != kSeparators[i]) return false;
      ++pos;
    }
  }
  if (pos != text.size()) return false;
  tDateTimeFields f;
  f.year = parts[0];
  f.month = parts[1];
  f.day = parts[2];
  f.hour = parts[3];
  f.minute = parts[4];
  f.second = parts[5];
  f.millisecond = 0;
  double v = 0;
  if (!TryEncodeDateTime(f, &v)) return false;
  if (value != nullptr) *value = v;
  return true;
}

std::string FormatXmlDateTime(double value) {
  tDateTimeFields f = DecodeDateTime(value);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.4d-%.2d-%.2dT%.2d:%.2d:%.2d", f.year, f.month, f.day, f.hour,
                f.minute, f.second);
  return buf;
}

// ---------------------------------------------------------------------------------------
// tXmlNode

std::string tXmlNode::Name() const {
  if (node_ == nullptr) return "";
  switch (node_->type) {
    case XML_ELEMENT_NODE:
      return QName(node_->name, node_->ns);
    case XML_TEXT_NODE:
      return "#text";
    case XML_CDATA_SECTION_NODE:
      return "#cdata-section";
    case XML_COMMENT_NODE:
      return "#comment";
    case XML_DOCUMENT_NODE:
      return "#document";
    default:
      return S(node_->name);
  }
}

bool tXmlNode::IsElement() const { return node_ != nullptr && node_->type == XML_ELEMENT_NODE; }

tXmlNode tXmlNode::Child(const std::string& name) const {
  if (node_ == nullptr) return tXmlNode();
  for (xmlNodePtr c = node_->children; c != nullptr; c = c->next) {
    if (IsElementNamed(c, name)) return tXmlNode(c);
  }
  return tXmlNode();
}

tXmlNode tXmlNode::Path(const std::string& path) const {
  tXmlNode cur = *this;
  size_t start = 0;
  while (cur) {
    size_t end = path.find('\\', start);
    cur = cur.Child(path.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return cur;
}

std::vector<tXmlNode> tXmlNode::Children(const std::string& name) const {
  std::vector<tXmlNode> out;
  if (node_ == nullptr) return out;
  for (xmlNodePtr c = node_->children; c != nullptr; c = c->next) {
    if (IsElementNamed(c, name)) out.emplace_back(c);
  }
  return out;
}

std::vector<tXmlNode> tXmlNode::ChildNodes() const {
  std::vector<tXmlNode> out;
  if (node_ == nullptr) return out;
  for (xmlNodePtr c = node_->children; c != nullptr; c = c->next) out.emplace_back(c);
  return out;
}

std::string tXmlNode::Text() const {
  if (node_ == nullptr) return "";
  xmlChar* content = xmlNodeGetContent(node_);
  std::string s = S(content);
  xmlFree(content);
  return s;
}

bool tXmlNode::HasAttr(const std::string& name) const { return FindAttr(node_, name) != nullptr; }

std::string tXmlNode::Attr(const std::string& name, const std::string& def) const {
  xmlAttrPtr a = FindAttr(node_, name);
  if (a == nullptr) return def;
  xmlChar* v = xmlNodeListGetString(node_->doc, a->children, 1);
  std::string s = S(v);
  xmlFree(v);
  return s;
}

int32_t tXmlNode::IntAttr(const std::string& name, int32_t def) const {
  if (!HasAttr(name)) return def;
  std::string text = Attr(name);
  int32_t v = 0;
  if (!TryParseXmlInt(text, &v)) {
    throw std::runtime_error("''" + text + "'' is not a valid integer value");
  }
  return v;
}

double tXmlNode::DateTimeAttr(const std::string& name, double def) const {
  if (!HasAttr(name)) return def;
  std::string text = Attr(name);
  double v = 0;
  if (!TryParseXmlDateTime(text, &v)) {
    throw std::runtime_error("''" + text + "'' is not a valid date and time");
  }
  return v;
}

tXmlNode tXmlNode::AppendChild(const std::string& name) {
  if (node_ == nullptr) throw std::runtime_error("xml: AppendChild on a null node");
  xmlNodePtr child = xmlNewDocNode(node_->doc, nullptr, X(name), nullptr);
  if (child == nullptr) throw std::bad_alloc();
  if (xmlAddChild(node_, child) == nullptr) {
    xmlFreeNode(child);
    throw std::runtime_error("xml: cannot append element " + name);
  }
  return tXmlNode(child);
}

void tXmlNode::SetAttr(const std::string& name, const std::string& value) {
  if (node_ == nullptr) throw std::runtime_error("xml: SetAttr on a null node");
  // xmlSetProp stores the value as plain text; the serialiser escapes it.
  if (xmlSetProp(node_, X(name), X(value)) == nullptr) {
    throw std::runtime_error("xml: cannot set attribute " + name);
  }
}

void tXmlNode::SetText(const std::string& text) {
  if (node_ == nullptr) throw std::runtime_error("xml: SetText on a null node");
  xmlNodeSetContent(node_, nullptr);  // drops the children
  xmlNodePtr t = xmlNewDocTextLen(node_->doc, X(text), static_cast<int>(text.size()));
  if (t == nullptr) throw std::bad_alloc();
  xmlAddChild(node_, t);
}

// ---------------------------------------------------------------------------------------
// tXmlDocument

tXmlDocument::~tXmlDocument() { Clear(); }

tXmlDocument::tXmlDocument(tXmlDocument&& other) noexcept : doc_(other.doc_) {
  other.doc_ = nullptr;
}

tXmlDocument& tXmlDocument::operator=(tXmlDocument&& other) noexcept {
  if (this != &other) {
    Clear();
    doc_ = other.doc_;
    other.doc_ = nullptr;
  }
  return *this;
}

void tXmlDocument::Clear() {
  if (doc_ != nullptr) xmlFreeDoc(doc_);
  doc_ = nullptr;
}

void tXmlDocument::LoadFromFile(const std::string& path) {
  Clear();
  std::string bytes = ReadFileBytes(path);
  LoadFromMemory(bytes.data(), bytes.size());
}

void tXmlDocument::LoadFromMemory(const void* data, size_t size) {
  Clear();
  InitLibxml();
  if (size > static_cast<size_t>(std::numeric_limits<int>::max())) {
    throw std::runtime_error("xml: document too large");
  }
  std::unique_ptr<xmlParserCtxt, tCtxtDeleter> ctxt(xmlNewParserCtxt());
  if (!ctxt) throw std::bad_alloc();
  tErrorSink sink;
  xmlDocPtr doc = nullptr;
  {
    // The context's own SAX handlers stay in place: with a structured handler set for the
    // thread, libxml2 reports every parser, encoding and I/O error of this parse to it.
    tThreadErrorScope scope(&sink);
    static const char kEmpty[1] = {0};
    doc = xmlCtxtReadMemory(ctxt.get(), size > 0 ? static_cast<const char*>(data) : kEmpty,
                            static_cast<int>(size), nullptr, nullptr, kParseOptions);
  }
  if (doc == nullptr || !ctxt->wellFormed) {
    if (doc != nullptr) xmlFreeDoc(doc);
    std::string message = sink.first;
    if (message.empty()) {
      xmlErrorPtr last = xmlCtxtGetLastError(ctxt.get());
      if (last != nullptr) message = TrimMessage(last->message);
    }
    if (message.empty()) message = "Document is empty";
    throw std::runtime_error(message);
  }
  doc_ = doc;
}

tXmlNode tXmlDocument::CreateNew(const std::string& rootName) {
  Clear();
  InitLibxml();
  xmlDocPtr doc = xmlNewDoc(X("1.0"));
  if (doc == nullptr) throw std::bad_alloc();
  doc->encoding = xmlStrdup(X("UTF-8"));
  xmlNodePtr root = xmlNewDocNode(doc, nullptr, X(rootName), nullptr);
  if (root == nullptr) {
    xmlFreeDoc(doc);
    throw std::bad_alloc();
  }
  xmlDocSetRootElement(doc, root);
  doc_ = doc;
  return tXmlNode(root);
}

tXmlNode tXmlDocument::Root() const {
  if (doc_ == nullptr) return tXmlNode();
  return tXmlNode(xmlDocGetRootElement(doc_));
}

tXmlNode tXmlDocument::TopElement(const std::string& name) const {
  if (doc_ == nullptr) return tXmlNode();
  for (xmlNodePtr c = doc_->children; c != nullptr; c = c->next) {
    if (IsElementNamed(c, name)) return tXmlNode(c);
  }
  return tXmlNode();
}

std::string tXmlDocument::DeclaredEncoding() const {
  if (doc_ == nullptr) return "";
  return S(doc_->encoding);
}

std::string tXmlDocument::SaveToString() const {
  if (doc_ == nullptr) throw std::runtime_error("xml: the document is empty");
  xmlChar* mem = nullptr;
  int size = 0;
  xmlDocDumpFormatMemoryEnc(doc_, &mem, &size, "UTF-8", 1);
  if (mem == nullptr) throw std::runtime_error("xml: the document cannot be serialised");
  std::string out(reinterpret_cast<const char*>(mem), static_cast<size_t>(size));
  xmlFree(mem);
  return out;
}

void tXmlDocument::SaveToFile(const std::string& path) const {
  WriteFileBytes(path, SaveToString());
}

}  // namespace q2
