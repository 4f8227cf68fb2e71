#pragma once
// The shared configuration document "ZolConfig.xml" and its small reader/writer.
//
// Elements are addressed by paths of element names joined with "//"; each step
// matches at any depth below the previous one, and an attribute map narrows the
// last step to elements whose attributes have exactly those values.
//
// Readers use ReadConfigSection (or configdoc Open + ReadSection); the
// configuration tool also writes through WriteValue / BuildNode / StoreNode and
// saves. No exception leaves Open or Save; the other operations of the holder
// return 1006 (ERROR_FILE_INVALID) or 29 (ERROR_WRITE_FAULT) and set the
// thread's last error.
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Debug-output labels written by GetConfigPath, one per component.
inline constexpr const wchar_t* ZOL_CONFIG_LABEL_TOOL = L"[ZOL]: ZOL Config XML File Path = ";
inline constexpr const wchar_t* ZOL_CONFIG_LABEL_SERVICE = L"[ZOL]: ZOL Service XML File Path = ";
inline constexpr const wchar_t* ZOL_CONFIG_LABEL_MSR = L"[ZOL]: MSR USB Driver XML File Path = ";
inline constexpr const wchar_t* ZOL_CONFIG_LABEL_LOG_CLIENT = L"[ZOL]: Log Library XML File Path = ";
inline constexpr const wchar_t* ZOL_CONFIG_LABEL_LOG_SERVICE = L"[ZOL]: Log Service XML File Path = ";

// Element names of the document.
inline constexpr const wchar_t* ZOL_CONFIG_FILE_NAME = L"ZolConfig.xml";
inline constexpr const wchar_t* ZOL_CONFIG_ROOT = L"ZOL";
inline constexpr const wchar_t* ZOL_SECTION_PORTS = L"Ports_Configuration";
inline constexpr const wchar_t* ZOL_SECTION_LOGGING = L"Logging_Configuration";
inline constexpr const wchar_t* ZOL_SECTION_MSR = L"MSR_Configuration";

// Attribute name -> value, sorted by name.
using attributemap = std::map<std::wstring, std::wstring>;

// What was read of one node (a value type, copied deeply).
struct datanode {
  std::wstring name;      // element name; empty for a comment
  std::wstring value;     // whole text when there are no children or the first child is no element
  attributemap attributes;
  std::vector<datanode> children;  // every child node, when the first child is an element

  bool operator==(const datanode&) const = default;
};

// The abstract reader/writer.
class dataclass {
 public:
  virtual ~dataclass() = default;
  // Loads the file at path. A missing or not well-formed file gives an empty
  // document and true when createIfInvalid, else false. Throws
  // std::runtime_error("Unable to create XML parser object") when the parser
  // cannot be created.
  virtual bool Load(const std::wstring& path, bool createIfInvalid) = 0;
  // Writes the document to path (the loaded path when empty). False when the
  // file cannot be written; the document in memory is unchanged either way.
  virtual bool Save(const std::wstring& path) = 0;
  // One node per element selected by "//" + path + predicate, in document order.
  virtual std::vector<datanode> GetNodes(const std::wstring& path, const attributemap& attributes) = 0;
  // Sets the text (and attributes) of every selected element; true when any was selected.
  virtual bool UpdateNodes(const std::wstring& parentPath, const std::wstring& name,
                           const std::wstring& value, const attributemap& attributes) = 0;
  // Creates the element (and missing ancestors) unless one already matches; true when created.
  virtual bool AddNode(const std::wstring& parentPath, const std::wstring& name,
                       const std::wstring& value, const attributemap& attributes) = 0;
  // Removes the selected elements whose text equals value (every one when value is empty).
  virtual void RemoveNodes(const std::wstring& parentPath, const std::wstring& name,
                           const std::wstring& value) = 0;
};

// The XML implementation: the platform's DOM parser (MSXML 3.0 on Windows,
// pugixml on Linux). Comments are kept; whitespace-only text is dropped.
class xmlclass : public dataclass {
 public:
  xmlclass();
  ~xmlclass() override;
  xmlclass(const xmlclass&) = delete;
  xmlclass& operator=(const xmlclass&) = delete;

  bool Load(const std::wstring& path, bool createIfInvalid) override;
  bool Save(const std::wstring& path) override;
  std::vector<datanode> GetNodes(const std::wstring& path, const attributemap& attributes) override;
  bool UpdateNodes(const std::wstring& parentPath, const std::wstring& name,
                   const std::wstring& value, const attributemap& attributes) override;
  bool AddNode(const std::wstring& parentPath, const std::wstring& name,
               const std::wstring& value, const attributemap& attributes) override;
  void RemoveNodes(const std::wstring& parentPath, const std::wstring& name,
                   const std::wstring& value) override;

  // Path given to the last successful Load.
  const std::wstring& Path() const { return m_path; }

  struct Impl;  // the parser's document and per-thread setup

 private:
  std::unique_ptr<Impl> m_impl;
  std::wstring m_path;
};

// The holder the components use.
class configdoc {
 public:
  configdoc();  // with an xmlclass store
  explicit configdoc(std::unique_ptr<dataclass> store);  // another store (tests)
  ~configdoc();
  configdoc(const configdoc&) = delete;
  configdoc& operator=(const configdoc&) = delete;

  // Loads the document; false on failure or on any exception.
  bool Open(const std::wstring& path, bool create);
  // Saves when loaded; on failure shows the "Save File Error!" message box and
  // returns false. Does nothing (and returns false) when not loaded.
  bool Save(const std::wstring& path);
  // 0 and nodes = the elements named by path; 1006 (nodes untouched) when not loaded.
  int ReadSection(const std::wstring& path, std::vector<datanode>& nodes);
  // Update, else add: 0, or 29 when neither worked, or 1006 when not loaded.
  int WriteValue(const std::wstring& parentPath, const std::wstring& key,
                 const std::wstring& value, const attributemap& attributes);

  bool IsLoaded() const { return m_loaded; }
  const std::wstring& Path() const { return m_path; }
  dataclass& Store() { return *m_store; }

 private:
  std::unique_ptr<dataclass> m_store;
  bool m_loaded = false;
  std::wstring m_path;
};

// The document's full path: "ZolConfig.xml" beside the running process's
// executable, else the fixed path. Writes label + path as debug output.
std::wstring GetConfigPath(const std::wstring& label);
// The location rule on its own, without debug output: executable is the full
// executable path or none when the system could not give it.
std::wstring ConfigPathFor(const std::optional<std::wstring>& executable);

// "[@a=\"1\" and @b=\"2\"]" for {a:1, b:2}; values inserted verbatim; "" for none.
std::wstring MakePredicate(const attributemap& attributes);
// What UpdateNodes selects: every `name` below `parentPath` that has the
// attributes. None when the value or an attribute's value is text that XML
// cannot hold (saved, the file would no longer load).
std::optional<std::wstring> UpdateSelection(const std::wstring& parentPath, const std::wstring& name,
                                            const std::wstring& value, const attributemap& attributes);
// Pieces between the separators; none for an empty text.
std::vector<std::wstring> SplitPath(const std::wstring& text, const std::wstring& separator);

// Tool helpers.
datanode BuildNode(const std::wstring& sectionPath, const std::wstring& key,
                   const std::wstring& value, const attributemap& attributes);
void StoreNode(configdoc& holder, const datanode& node, const std::wstring& prefix);
// First node named name in depth-first pre-order (node itself first), or none.
std::optional<datanode> FindNode(const std::wstring& name, const datanode& node);

// The boolean rule of every reader: the text lowered to small letters equals "true".
bool ConfigBoolean(const std::wstring& text);

// The opening sequence of every reader: GetConfigPath(label), Open without
// create, ReadSection(sectionName), the first section's children.
enum class ConfigRead {
  NotLoaded,   // there is no document (or it could not be opened)
  NoSection,   // opened, but no element named sectionName
  Found,       // children holds the first section's child nodes
  Unreadable,  // there is one, but it does not load (not well formed, too deep, too large)
};
// An unreadable document is said once per module on debug output: every
// setting then stays at its default (logging off).
ConfigRead ReadConfigSection(const std::wstring& label, const std::wstring& sectionName,
                             std::vector<datanode>& children);
