// xmlclass on pugixml. The reference behaviour is the MSXML 3.0 DOM with its
// default settings: comments kept, whitespace-only text dropped, element text
// being all descendant text joined, and a selection that the parser rejects
// selecting nothing.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <pugixml.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/config/ConfigDoc.h"
#include "common/config/XmlShared.h"
#include "platform/Text.h"
#include "platform/WholeFile.h"

struct xmlclass::Impl {
  std::unique_ptr<pugi::xml_document> document;
};

namespace {

// Closes a descriptor on every path out.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : m_fd(fd) {}
  ~FileDescriptor() {
    if (m_fd >= 0) ::close(m_fd);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return m_fd; }
  int release() {
    int fd = m_fd;
    m_fd = -1;
    return fd;
  }

 private:
  int m_fd;
};

// Reads a regular file whole. Folders, devices, FIFOs and oversized files fail
// (O_NONBLOCK keeps a FIFO without writer from blocking the open).
bool ReadRegularFile(const std::string& path, std::string& bytes) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return false;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (static_cast<std::size_t>(st.st_size) > zolconfig::kMaxDocumentBytes) return false;
  bytes.clear();
  char chunk[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    bytes.append(chunk, static_cast<std::size_t>(n));
    if (bytes.size() > zolconfig::kMaxDocumentBytes) return false;
  }
  return true;
}

// Valid UTF-8 made only of characters that XML 1.0 allows.
bool ValidXmlUtf8(const char* text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p) {
    unsigned char c = *p;
    std::size_t extra;
    std::uint32_t cp;
    if (c < 0x80) {
      if (c < 0x20 && c != 0x9 && c != 0xA && c != 0xD) return false;
      ++p;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    ++p;
    for (std::size_t i = 0; i < extra; ++i, ++p) {
      if ((*p & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (*p & 0x3F);
    }
    static const std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF) {
      return false;
    }
  }
  return true;
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Replaces the five predefined entities and character references. pugixml
// leaves an unknown reference or a lone ampersand as it stands; the reference
// parser refuses the document, and so does this.
bool DecodeReferences(const char* text, bool inAttribute, std::string& out) {
  out.clear();
  for (const char* p = text; *p; ++p) {
    if (*p == '<' && inAttribute) return false;
    if (*p != '&') {
      out += *p;
      continue;
    }
    const char* end = std::strchr(p, ';');
    if (!end) return false;
    std::string name(p + 1, end);
    if (name == "lt") {
      out += '<';
    } else if (name == "gt") {
      out += '>';
    } else if (name == "amp") {
      out += '&';
    } else if (name == "apos") {
      out += '\'';
    } else if (name == "quot") {
      out += '"';
    } else if (name.size() >= 2 && name[0] == '#') {
      bool hex = name[1] == 'x';
      std::string digits = name.substr(hex ? 2 : 1);
      if (digits.empty() || digits.size() > 8) return false;
      std::uint32_t cp = 0;
      for (char d : digits) {
        int v;
        if (d >= '0' && d <= '9') {
          v = d - '0';
        } else if (hex && d >= 'a' && d <= 'f') {
          v = d - 'a' + 10;
        } else if (hex && d >= 'A' && d <= 'F') {
          v = d - 'A' + 10;
        } else {
          return false;
        }
        cp = cp * (hex ? 16 : 10) + static_cast<std::uint32_t>(v);
      }
      bool allowed = cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
                     (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
      if (!allowed) return false;
      AppendUtf8(out, cp);
    } else {
      return false;
    }
    p = end;
  }
  return true;
}

// The checks the reference parser makes and pugixml does not: exactly one root
// element, no text beside it, only known references, names and text in valid
// UTF-8 of XML characters, a sane depth. Decodes the references in place.
// Walks the tree without recursion.
bool WellFormed(pugi::xml_document& document) {
  int roots = 0;
  for (pugi::xml_node top : document.children()) {
    if (top.type() == pugi::node_element) ++roots;
    if (top.type() == pugi::node_pcdata || top.type() == pugi::node_cdata) return false;
  }
  if (roots != 1) return false;

  std::size_t depth = 0;
  std::string decoded;
  pugi::xml_node node = document.first_child();
  while (node) {
    if (!ValidXmlUtf8(node.name()) || !ValidXmlUtf8(node.value())) return false;
    if (node.type() == pugi::node_pcdata) {
      if (!DecodeReferences(node.value(), false, decoded)) return false;
      node.set_value(decoded.c_str());
    }
    for (pugi::xml_attribute a : node.attributes()) {
      if (!ValidXmlUtf8(a.name()) || !ValidXmlUtf8(a.value())) return false;
      if (!DecodeReferences(a.value(), true, decoded)) return false;
      a.set_value(decoded.c_str());
    }
    if (node.first_child()) {
      if (++depth > zolconfig::kMaxElementDepth) return false;
      node = node.first_child();
      continue;
    }
    while (node && !node.next_sibling()) {
      node = node.parent();
      if (node == document) return true;
      --depth;
    }
    if (node) node = node.next_sibling();
  }
  return true;
}

// The DOM's node name: element and processing-instruction names, or the
// reserved names of the other kinds.
std::wstring NodeName(pugi::xml_node node) {
  switch (node.type()) {
    case pugi::node_pcdata: return L"#text";
    case pugi::node_cdata: return L"#cdata-section";
    case pugi::node_comment: return L"#comment";
    case pugi::node_document: return L"#document";
    default: return sys::FromUtf8(node.name());
  }
}

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The DOM's text with white space not preserved: all descendant text and
// CDATA joined in document order, with the white space at either end cut as
// far as it lies in text (never in CDATA). A comment or instruction gives its
// own data.
std::string NodeTextUtf8(pugi::xml_node node) {
  struct Segment {
    std::string text;
    bool cdata;
  };
  std::vector<Segment> segments;
  auto take = [&](pugi::xml_node n) {
    if (n.type() == pugi::node_pcdata) segments.push_back({n.value(), false});
    if (n.type() == pugi::node_cdata) segments.push_back({n.value(), true});
  };
  switch (node.type()) {
    case pugi::node_pcdata:
    case pugi::node_cdata:
      take(node);
      break;
    case pugi::node_element:
    case pugi::node_document:
      for (pugi::xml_node cur = node.first_child(); cur;) {
        take(cur);
        if (cur.first_child()) {
          cur = cur.first_child();
          continue;
        }
        while (cur != node && !cur.next_sibling()) cur = cur.parent();
        if (cur == node) break;
        cur = cur.next_sibling();
      }
      break;
    default:
      return node.value();
  }
  for (Segment& seg : segments) {
    if (seg.cdata) break;
    std::size_t keep = 0;
    while (keep < seg.text.size() && IsXmlSpace(seg.text[keep])) ++keep;
    seg.text.erase(0, keep);
    if (!seg.text.empty()) break;
  }
  for (auto it = segments.rbegin(); it != segments.rend(); ++it) {
    if (it->cdata) break;
    while (!it->text.empty() && IsXmlSpace(it->text.back())) it->text.pop_back();
    if (!it->text.empty()) break;
  }
  std::string text;
  for (const Segment& seg : segments) text += seg.text;
  return text;
}

std::wstring NodeText(pugi::xml_node node) { return sys::FromUtf8(NodeTextUtf8(node)); }

// Replaces an element's content by one text node (none for the empty text).
void SetText(pugi::xml_node element, const std::wstring& value) {
  element.remove_children();
  if (!value.empty()) element.append_child(pugi::node_pcdata).set_value(sys::ToUtf8(value).c_str());
}

datanode ReadNode(pugi::xml_node node) {
  datanode result;
  std::wstring name = NodeName(node);
  if (name == L"#comment") return result;
  result.name = std::move(name);
  for (pugi::xml_attribute a : node.attributes()) {
    result.attributes[sys::FromUtf8(a.name())] = sys::FromUtf8(a.value());
  }
  pugi::xml_node first = node.first_child();
  if (!first) {
    result.value = NodeText(node);
  } else if (first.type() == pugi::node_element) {
    // Depth is bounded by the load-time check.
    for (pugi::xml_node child : node.children()) result.children.push_back(ReadNode(child));
  } else {
    result.value = NodeText(node);
  }
  return result;
}

// Elements selected by an XPath expression, in document order. An expression
// outside the library's own form, or one that does not compile, selects nothing.
std::vector<pugi::xml_node> Select(const pugi::xml_document* document, const std::wstring& expression) {
  std::vector<pugi::xml_node> nodes;
  if (!document || !zolconfig::IsSelection(expression)) return nodes;
  try {
    pugi::xpath_query query(sys::ToUtf8(expression).c_str());
    if (!query) return nodes;
    pugi::xpath_node_set set = query.evaluate_node_set(*document);
    set.sort();
    for (const pugi::xpath_node& n : set) {
      if (n.node() && n.node().type() == pugi::node_element) nodes.push_back(n.node());
    }
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    nodes.clear();
  }
  return nodes;
}

bool HasAncestorIn(pugi::xml_node node, const std::vector<pugi::xml_node>& set) {
  for (pugi::xml_node up = node.parent(); up; up = up.parent()) {
    for (const pugi::xml_node& other : set) {
      if (other == up) return true;
    }
  }
  return false;
}

bool SetAttributes(pugi::xml_node element, const attributemap& attributes) {
  for (const auto& [k, v] : attributes) {
    if (!zolconfig::IsXmlName(k)) return false;
  }
  for (const auto& [k, v] : attributes) {
    std::string key = sys::ToUtf8(k);
    pugi::xml_attribute a = element.attribute(key.c_str());
    if (!a) a = element.append_attribute(key.c_str());
    a.set_value(sys::ToUtf8(v).c_str());
  }
  return true;
}

class Utf8Writer : public pugi::xml_writer {
 public:
  void write(const void* data, size_t size) override { bytes.append(static_cast<const char*>(data), size); }
  std::string bytes;
};

}  // namespace

xmlclass::xmlclass() : m_impl(std::make_unique<Impl>()) {}

xmlclass::~xmlclass() = default;

bool xmlclass::Load(const std::wstring& path, bool createIfInvalid) {
  m_impl->document.reset();
  try {
    m_impl->document = std::make_unique<pugi::xml_document>();
  } catch (...) {
    throw std::runtime_error("Unable to create XML parser object");
  }
  pugi::xml_document& document = *m_impl->document;

  std::string bytes;
  bool parsed = false;
  if (ReadRegularFile(sys::ToUtf8(path), bytes)) {
    // References are decoded by WellFormed, strictly; as a fragment, text
    // beside the root element stays visible to be refused. Instructions are
    // nodes, as in the DOM, so they shape a node like any other child.
    const unsigned options = (pugi::parse_default & ~pugi::parse_escapes) | pugi::parse_comments |
                             pugi::parse_pi | pugi::parse_fragment;
    pugi::xml_parse_result result = document.load_buffer(bytes.data(), bytes.size(), options);
    parsed = result.status == pugi::status_ok && WellFormed(document);
  }
  if (parsed || createIfInvalid) {
    if (!parsed) document.reset();
    m_path = path;
    return true;
  }
  document.reset();
  return false;
}

bool xmlclass::Save(const std::wstring& path) {
  if (!m_impl->document) return false;
  const std::wstring& target = path.empty() ? m_path : path;
  if (target.empty()) return false;
  Utf8Writer writer;
  m_impl->document->save(writer, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
  return sys::ReplaceFileContents(target, writer.bytes);
}

std::vector<datanode> xmlclass::GetNodes(const std::wstring& path, const attributemap& attributes) {
  std::vector<datanode> nodes;
  if (path.empty()) return nodes;
  for (pugi::xml_node element : Select(m_impl->document.get(), L"//" + path + MakePredicate(attributes))) {
    nodes.push_back(ReadNode(element));
  }
  return nodes;
}

bool xmlclass::UpdateNodes(const std::wstring& parentPath, const std::wstring& name, const std::wstring& value,
                           const attributemap& attributes) {
  std::optional<std::wstring> expression = UpdateSelection(parentPath, name, value, attributes);
  if (!m_impl->document || !expression) return false;
  std::vector<pugi::xml_node> selected = Select(m_impl->document.get(), *expression);
  for (pugi::xml_node element : selected) {
    // An element below an earlier one lost its place when that one's text was set.
    if (HasAncestorIn(element, selected)) continue;
    SetText(element, value);
    for (const auto& [k, v] : attributes) {
      pugi::xml_node child = element.child(sys::ToUtf8(k).c_str());
      if (child) {
        SetText(child, v);
      } else {
        SetAttributes(element, attributemap{{k, v}});
      }
    }
  }
  return !selected.empty();
}

bool xmlclass::AddNode(const std::wstring& parentPath, const std::wstring& name, const std::wstring& value,
                       const attributemap& attributes) {
  if (name.empty() || !m_impl->document) return false;
  pugi::xml_document& document = *m_impl->document;
  std::wstring prefix = parentPath.empty() ? std::wstring() : L"//" + parentPath;
  if (!Select(&document, prefix + L"//" + name + MakePredicate(attributes)).empty()) return false;
  if (!zolconfig::IsXmlName(name) || !zolconfig::IsXmlText(value)) return false;
  for (const auto& [k, v] : attributes) {
    if (!zolconfig::IsXmlName(k) || !zolconfig::IsXmlText(v)) return false;
  }

  std::vector<pugi::xml_node> parents;
  if (!parentPath.empty()) {
    std::wstring prior;
    for (const std::wstring& piece : SplitPath(parentPath, L"//")) {
      AddNode(prior, piece, L"", attributemap{});
      prior = piece;
    }
    parents = Select(&document, prefix);
  }

  std::string elementName = sys::ToUtf8(name);
  if (parents.empty()) {
    // A document holds one root element: a second one would not load again.
    if (document.document_element()) return false;
    pugi::xml_node element = document.append_child(elementName.c_str());
    SetText(element, value);
    SetAttributes(element, attributes);
    return true;
  }
  for (pugi::xml_node parent : parents) {
    pugi::xml_node element = parent.append_child(elementName.c_str());
    SetText(element, value);
    SetAttributes(element, attributes);
  }
  return true;
}

void xmlclass::RemoveNodes(const std::wstring& parentPath, const std::wstring& name, const std::wstring& value) {
  if (parentPath.empty() || !m_impl->document) return;
  // Decide on the whole document first, then remove innermost first, so that no
  // removal frees a node still to be visited.
  std::vector<pugi::xml_node> doomed;
  for (pugi::xml_node element : Select(m_impl->document.get(), L"//" + parentPath + L"//" + name)) {
    if (value.empty() || NodeText(element) == value) doomed.push_back(element);
  }
  for (auto it = doomed.rbegin(); it != doomed.rend(); ++it) it->parent().remove_child(*it);
}
