// xmlclass on the MSXML 3.0 DOM through COM, with the document's default
// settings: whitespace-only text dropped, comments kept, the default
// selection language.
#include "platform/win32/WinHeaders.h"
#include <objbase.h>
#include <oleauto.h>
#include <msxml2.h>

#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/config/ConfigDoc.h"
#include "common/config/XmlShared.h"
#include "platform/WholeFile.h"

namespace {

// The DOM 3.0 class and the interfaces used, spelled out so that no
// import library has to provide them.
const CLSID kClsidDomDocument30 = {0xF5078F32, 0xC551, 0x11D3, {0x89, 0xB9, 0x00, 0x00, 0xF8, 0x1F, 0xE2, 0x21}};
const IID kIidDomDocument = {0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID kIidDomNode = {0x2933BF80, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID kIidDomElement = {0x2933BF86, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

// A counted COM reference.
template <typename T>
class ComRef {
 public:
  ComRef() = default;
  ~ComRef() { Reset(); }
  ComRef(const ComRef& other) : m_p(other.m_p) {
    if (m_p) m_p->AddRef();
  }
  ComRef& operator=(ComRef other) {
    std::swap(m_p, other.m_p);
    return *this;
  }
  void Reset() {
    if (m_p) m_p->Release();
    m_p = nullptr;
  }
  T** Out() {
    Reset();
    return &m_p;
  }
  T* operator->() const { return m_p; }
  T* Get() const { return m_p; }
  explicit operator bool() const { return m_p != nullptr; }

 private:
  T* m_p = nullptr;
};

// A system string owned for its scope.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const std::wstring& text) : m_s(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {
    if (!m_s) throw std::bad_alloc();
  }
  ~Bstr() { SysFreeString(m_s); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR* Out() {
    SysFreeString(m_s);
    m_s = nullptr;
    return &m_s;
  }
  BSTR Get() const { return m_s; }
  std::wstring Str() const { return m_s ? std::wstring(m_s, SysStringLen(m_s)) : std::wstring(); }

 private:
  BSTR m_s = nullptr;
};

// A variant holding a string, cleared at scope end.
class StringVariant {
 public:
  explicit StringVariant(const std::wstring& text) {
    VariantInit(&m_v);
    m_v.vt = VT_BSTR;
    m_v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!m_v.bstrVal) throw std::bad_alloc();
  }
  ~StringVariant() { VariantClear(&m_v); }
  StringVariant(const StringVariant&) = delete;
  StringVariant& operator=(const StringVariant&) = delete;
  const VARIANT& Get() const { return m_v; }

 private:
  VARIANT m_v;
};

std::wstring NameOf(IXMLDOMNode* node) {
  Bstr name;
  if (FAILED(node->get_nodeName(name.Out()))) return std::wstring();
  return name.Str();
}

std::wstring TextOf(IXMLDOMNode* node) {
  Bstr text;
  if (FAILED(node->get_text(text.Out()))) return std::wstring();
  return text.Str();
}

bool SetTextOf(IXMLDOMNode* node, const std::wstring& value) {
  Bstr text(value);
  return SUCCEEDED(node->put_text(text.Get()));
}

// Replaces an element's content by one text node (none for the empty text).
// The children are detached one by one first: a node that is still referenced
// elsewhere (another selected element below this one) must stay valid, and
// not every DOM keeps it so when the text is simply replaced.
void ReplaceContent(IXMLDOMNode* element, const std::wstring& value) {
  for (;;) {
    ComRef<IXMLDOMNode> child;
    if (element->get_firstChild(child.Out()) != S_OK || !child) break;
    ComRef<IXMLDOMNode> removed;
    if (FAILED(element->removeChild(child.Get(), removed.Out()))) break;
  }
  if (!value.empty()) SetTextOf(element, value);
}

DOMNodeType TypeOf(IXMLDOMNode* node) {
  DOMNodeType type = NODE_INVALID;
  if (FAILED(node->get_nodeType(&type))) return NODE_INVALID;
  return type;
}

// The selected nodes, in document order; an expression outside the library's
// own form, or one the parser rejects, selects nothing.
std::vector<ComRef<IXMLDOMNode>> Select(IXMLDOMNode* context, const std::wstring& expression) {
  std::vector<ComRef<IXMLDOMNode>> nodes;
  // Checked here first: a malformed expression can crash some parsers.
  if (!context || !zolconfig::IsSelection(expression)) return nodes;
  Bstr query(expression);
  ComRef<IXMLDOMNodeList> list;
  if (context->selectNodes(query.Get(), list.Out()) != S_OK || !list) return nodes;
  long length = 0;
  if (FAILED(list->get_length(&length))) return nodes;
  for (long i = 0; i < length; ++i) {
    ComRef<IXMLDOMNode> item;
    if (SUCCEEDED(list->get_item(i, item.Out())) && item && TypeOf(item.Get()) == NODE_ELEMENT) {
      nodes.push_back(item);
    }
  }
  return nodes;
}

datanode ReadNode(IXMLDOMNode* node) {
  datanode result;
  std::wstring name = NameOf(node);
  if (name == L"#comment") return result;
  result.name = std::move(name);
  ComRef<IXMLDOMNamedNodeMap> attributes;
  if (SUCCEEDED(node->get_attributes(attributes.Out())) && attributes) {
    long count = 0;
    attributes->get_length(&count);
    for (long i = 0; i < count; ++i) {
      ComRef<IXMLDOMNode> attribute;
      if (SUCCEEDED(attributes->get_item(i, attribute.Out())) && attribute) {
        result.attributes[NameOf(attribute.Get())] = TextOf(attribute.Get());
      }
    }
  }
  VARIANT_BOOL hasChildren = VARIANT_FALSE;
  node->hasChildNodes(&hasChildren);
  ComRef<IXMLDOMNode> first;
  if (hasChildren != VARIANT_TRUE) {
    result.value = TextOf(node);
  } else if (SUCCEEDED(node->get_firstChild(first.Out())) && first && TypeOf(first.Get()) == NODE_ELEMENT) {
    // Depth is bounded by the load-time check.
    ComRef<IXMLDOMNodeList> children;
    long count = 0;
    if (SUCCEEDED(node->get_childNodes(children.Out())) && children) children->get_length(&count);
    for (long i = 0; i < count; ++i) {
      ComRef<IXMLDOMNode> child;
      if (SUCCEEDED(children->get_item(i, child.Out())) && child) result.children.push_back(ReadNode(child.Get()));
    }
  } else {
    result.value = TextOf(node);
  }
  return result;
}

// True when no element lies deeper than the limit; walks without recursion.
bool DepthWithinLimit(IXMLDOMDocument* document) {
  ComRef<IXMLDOMNode> node;
  if (FAILED(document->get_firstChild(node.Out()))) return false;
  std::size_t depth = 0;
  while (node) {
    ComRef<IXMLDOMNode> next;
    if (node->get_firstChild(next.Out()) == S_OK && next) {
      if (++depth > zolconfig::kMaxElementDepth) return false;
      node = next;
      continue;
    }
    for (;;) {
      if (node->get_nextSibling(next.Out()) == S_OK && next) {
        node = next;
        break;
      }
      ComRef<IXMLDOMNode> parent;
      if (node->get_parentNode(parent.Out()) != S_OK || !parent || TypeOf(parent.Get()) == NODE_DOCUMENT) {
        return true;
      }
      node = parent;
      --depth;
    }
  }
  return true;
}

bool FileTooLarge(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
  unsigned long long size = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return size > zolconfig::kMaxDocumentBytes;
}

// A new element with its text (none when empty) and attributes, not yet placed.
ComRef<IXMLDOMNode> MakeElement(IXMLDOMDocument* document, const std::wstring& name, const std::wstring& value,
                                const attributemap& attributes) {
  // Some DOMs create elements and text the parser would then refuse to load.
  if (!zolconfig::IsXmlName(name) || !zolconfig::IsXmlText(value)) return {};
  for (const auto& [k, v] : attributes) {
    if (!zolconfig::IsXmlName(k) || !zolconfig::IsXmlText(v)) return {};
  }
  ComRef<IXMLDOMElement> element;
  Bstr tag(name);
  if (document->createElement(tag.Get(), element.Out()) != S_OK || !element) return {};
  if (!value.empty() && !SetTextOf(element.Get(), value)) return {};
  for (const auto& [k, v] : attributes) {
    Bstr key(k);
    StringVariant text(v);
    if (FAILED(element->setAttribute(key.Get(), text.Get()))) return {};
  }
  ComRef<IXMLDOMNode> node;
  if (FAILED(element->QueryInterface(kIidDomNode, reinterpret_cast<void**>(node.Out())))) return {};
  return node;
}

}  // namespace

struct xmlclass::Impl {
  ComRef<IXMLDOMDocument> document;
  bool comStarted = false;

  // A fresh document, or an exception when the parser cannot be made.
  void Create() {
    document.Reset();
    HRESULT hr = CoCreateInstance(kClsidDomDocument30, nullptr, CLSCTX_ALL, kIidDomDocument,
                                  reinterpret_cast<void**>(document.Out()));
    if (FAILED(hr) || !document) {
      document.Reset();
      throw std::runtime_error("Unable to create XML parser object");
    }
    // Loads complete before load returns, and no external entity is fetched
    // while the document is read.
    document->put_async(VARIANT_FALSE);
    document->put_resolveExternals(VARIANT_FALSE);
  }
};

namespace {

constexpr int kBusyTries = 40;
constexpr DWORD kBusyPauseMs = 25;

// The document read by this process, not by the parser: opened with every
// sharing, so a save renaming a new document into place neither fails nor
// makes this read fail, and retried for the moment the rename holds it.
// What is no readable file (missing, a folder, empty) or no document is left
// to the parser's own load, which answers for it as it always does.
HRESULT LoadShared(IXMLDOMDocument* document, const std::wstring& path, VARIANT_BOOL& ok) {
  StringVariant byName(path);
  sys::win32::UniqueHandle file;
  for (int attempt = 0;; ++attempt) {
    file = sys::win32::UniqueHandle(CreateFileW(path.c_str(), GENERIC_READ,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.IsValid()) break;
    if (attempt >= kBusyTries || GetLastError() != ERROR_SHARING_VIOLATION) return document->load(byName.Get(), &ok);
    Sleep(kBusyPauseMs);
  }
  std::string bytes;
  char chunk[65536];
  DWORD got = 0;
  BOOL read = TRUE;
  while ((read = ReadFile(file.Get(), chunk, sizeof chunk, &got, nullptr)) && got > 0) bytes.append(chunk, got);
  if (!read || bytes.empty()) return document->load(byName.Get(), &ok);
  ComRef<IStream> stream;
  if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.Out())) || !stream) return E_OUTOFMEMORY;
  ULONG written = 0;
  if (FAILED(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written)) || written != bytes.size())
    return E_OUTOFMEMORY;
  LARGE_INTEGER start{};
  stream->Seek(start, STREAM_SEEK_SET, nullptr);
  VARIANT source;
  VariantInit(&source);
  source.vt = VT_UNKNOWN;
  source.punkVal = stream.Get();
  if (document->load(source, &ok) == S_OK && ok == VARIANT_TRUE) return S_OK;
  // Bytes the parser refuses: its answer by name, as for any bad document.
  return document->load(byName.Get(), &ok);
}

}  // namespace

xmlclass::xmlclass() : m_impl(std::make_unique<Impl>()) {
  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  // Balanced only when it took: a thread in another apartment keeps its own.
  m_impl->comStarted = SUCCEEDED(hr);
}

xmlclass::~xmlclass() {
  bool started = m_impl->comStarted;
  m_impl.reset();
  if (started) CoUninitialize();
}

bool xmlclass::Load(const std::wstring& path, bool createIfInvalid) {
  m_impl->document.Reset();
  m_impl->Create();
  IXMLDOMDocument* document = m_impl->document.Get();

  HRESULT hr = S_FALSE;
  VARIANT_BOOL ok = VARIANT_FALSE;
  if (!FileTooLarge(path)) {
    StringVariant source(path);
    hr = LoadShared(document, path, ok);
  }
  bool parsed = hr == S_OK && ok == VARIANT_TRUE;
  if (parsed && !DepthWithinLimit(document)) {
    parsed = false;
    hr = S_FALSE;
  }
  if (parsed) {
    m_path = path;
    return true;
  }
  if (hr == S_FALSE && createIfInvalid) {
    m_impl->Create();
    m_path = path;
    return true;
  }
  // The empty document stays held.
  m_impl->Create();
  return false;
}

bool xmlclass::Save(const std::wstring& path) {
  if (!m_impl->document) return false;
  const std::wstring& target = path.empty() ? m_path : path;
  if (target.empty()) return false;
  return sys::ReplaceFileThrough(target, [this](const std::wstring& written) {
    StringVariant destination(written);
    return m_impl->document->save(destination.Get()) == S_OK;
  });
}

std::vector<datanode> xmlclass::GetNodes(const std::wstring& path, const attributemap& attributes) {
  std::vector<datanode> nodes;
  if (path.empty() || !m_impl->document) return nodes;
  for (const auto& element : Select(m_impl->document.Get(), L"//" + path + MakePredicate(attributes))) {
    nodes.push_back(ReadNode(element.Get()));
  }
  return nodes;
}

bool xmlclass::UpdateNodes(const std::wstring& parentPath, const std::wstring& name, const std::wstring& value,
                           const attributemap& attributes) {
  std::optional<std::wstring> expression = UpdateSelection(parentPath, name, value, attributes);
  if (!m_impl->document || !expression) return false;
  auto selected = Select(m_impl->document.Get(), *expression);
  for (const auto& element : selected) {
    ReplaceContent(element.Get(), value);
    for (const auto& [k, v] : attributes) {
      ComRef<IXMLDOMNode> keyChild;
      ComRef<IXMLDOMNodeList> children;
      long count = 0;
      if (SUCCEEDED(element->get_childNodes(children.Out())) && children) children->get_length(&count);
      for (long i = 0; i < count && !keyChild; ++i) {
        ComRef<IXMLDOMNode> child;
        if (SUCCEEDED(children->get_item(i, child.Out())) && child && TypeOf(child.Get()) == NODE_ELEMENT &&
            NameOf(child.Get()) == k) {
          keyChild = child;
        }
      }
      if (keyChild) {
        ReplaceContent(keyChild.Get(), v);
      } else {
        ComRef<IXMLDOMElement> asElement;
        if (SUCCEEDED(element->QueryInterface(kIidDomElement, reinterpret_cast<void**>(asElement.Out())))) {
          Bstr key(k);
          StringVariant text(v);
          asElement->setAttribute(key.Get(), text.Get());
        }
      }
    }
  }
  return !selected.empty();
}

bool xmlclass::AddNode(const std::wstring& parentPath, const std::wstring& name, const std::wstring& value,
                       const attributemap& attributes) {
  if (name.empty() || !m_impl->document) return false;
  IXMLDOMDocument* document = m_impl->document.Get();
  std::wstring prefix = parentPath.empty() ? std::wstring() : L"//" + parentPath;
  if (!Select(document, prefix + L"//" + name + MakePredicate(attributes)).empty()) return false;
  // A name the parser refuses is refused before any ancestor is made.
  if (!MakeElement(document, name, value, attributes)) return false;

  std::vector<ComRef<IXMLDOMNode>> parents;
  if (!parentPath.empty()) {
    std::wstring prior;
    for (const std::wstring& piece : SplitPath(parentPath, L"//")) {
      AddNode(prior, piece, L"", attributemap{});
      prior = piece;
    }
    parents = Select(document, prefix);
  }

  if (parents.empty()) {
    // A document holds one root element.
    ComRef<IXMLDOMElement> root;
    if (document->get_documentElement(root.Out()) == S_OK && root) return false;
    ComRef<IXMLDOMNode> element = MakeElement(document, name, value, attributes);
    ComRef<IXMLDOMNode> added;
    return element && SUCCEEDED(document->appendChild(element.Get(), added.Out()));
  }
  bool any = false;
  for (const auto& parent : parents) {
    ComRef<IXMLDOMNode> element = MakeElement(document, name, value, attributes);
    ComRef<IXMLDOMNode> added;
    if (element && SUCCEEDED(parent->appendChild(element.Get(), added.Out()))) any = true;
  }
  return any;
}

void xmlclass::RemoveNodes(const std::wstring& parentPath, const std::wstring& name, const std::wstring& value) {
  if (parentPath.empty() || !m_impl->document) return;
  // Decide on the whole document first, then remove innermost first, as the
  // other backend does.
  std::vector<ComRef<IXMLDOMNode>> doomed;
  for (const auto& element : Select(m_impl->document.Get(), L"//" + parentPath + L"//" + name)) {
    if (value.empty() || TextOf(element.Get()) == value) doomed.push_back(element);
  }
  for (auto it = doomed.rbegin(); it != doomed.rend(); ++it) {
    ComRef<IXMLDOMNode> parent;
    ComRef<IXMLDOMNode> removed;
    if ((*it)->get_parentNode(parent.Out()) == S_OK && parent) parent->removeChild(it->Get(), removed.Out());
  }
}
