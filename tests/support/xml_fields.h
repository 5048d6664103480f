// Reads an XML document through the system's XML reader into what a test
// asserts on: element paths ("Task/Triggers/LogonTrigger/Delay"), how often
// each occurs, and the texts and attributes ("Task/Actions@Context") there.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <shlwapi.h>
#include <wrl/client.h>
#include <xmllite.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace tessaline::testing {

struct XmlFields {
  bool read = false;  // the whole document was well-formed
  std::map<std::wstring, int> elements;
  std::multimap<std::wstring, std::wstring> values;

  // The one value at `path`; "<absent>" or "<n values>" otherwise.
  std::wstring operator[](const std::wstring& path) const {
    const auto count = values.count(path);
    if (count != 1) return count == 0 ? L"<absent>" : L"<" + std::to_wstring(count) + L" values>";
    return values.find(path)->second;
  }
  int Count(const std::wstring& path) const {
    const auto found = elements.find(path);
    return found == elements.end() ? 0 : found->second;
  }
  // The names of the elements directly below `path`.
  std::set<std::wstring> Children(const std::wstring& path) const {
    std::set<std::wstring> names;
    for (const auto& [element, count] : elements) {
      if (element.rfind(path + L"/", 0) == 0 && element.find(L'/', path.size() + 1) == std::wstring::npos) {
        names.insert(element.substr(path.size() + 1));
      }
    }
    return names;
  }
};

inline XmlFields ReadXml(const std::wstring& xml) {
  XmlFields fields;
  // xmllite has no import library in mingw-w64.
  const auto create = reinterpret_cast<decltype(&CreateXmlReader)>(
      reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(L"xmllite.dll"), "CreateXmlReader")));
  if (create == nullptr) return fields;
  const std::wstring bytes = L"\xFEFF" + xml;  // the reader knows UTF-16 by its byte-order mark
  Microsoft::WRL::ComPtr<IStream> stream;
  stream.Attach(SHCreateMemStream(reinterpret_cast<const BYTE*>(bytes.data()),
                                  static_cast<UINT>(bytes.size() * sizeof(wchar_t))));
  Microsoft::WRL::ComPtr<IXmlReader> reader;
  if (!stream || FAILED(create(__uuidof(IXmlReader), reinterpret_cast<void**>(reader.GetAddressOf()), nullptr)) ||
      FAILED(reader->SetInput(stream.Get()))) {
    return fields;
  }
  std::vector<std::wstring> open;
  const auto path = [&open] {
    std::wstring joined;
    for (const std::wstring& name : open) joined += (joined.empty() ? L"" : L"/") + name;
    return joined;
  };
  XmlNodeType type{};
  HRESULT result = S_OK;
  while ((result = reader->Read(&type)) == S_OK) {
    const wchar_t* text = nullptr;
    if (type == XmlNodeType_Element) {
      reader->GetLocalName(&text, nullptr);
      open.push_back(text);
      ++fields.elements[path()];
      for (HRESULT more = reader->MoveToFirstAttribute(); more == S_OK; more = reader->MoveToNextAttribute()) {
        const wchar_t* value = nullptr;
        reader->GetLocalName(&text, nullptr);
        reader->GetValue(&value, nullptr);
        if (std::wstring(text) != L"xmlns") fields.values.emplace(path() + L"@" + text, value);
      }
      reader->MoveToElement();
      if (reader->IsEmptyElement()) open.pop_back();
    } else if (type == XmlNodeType_EndElement) {
      open.pop_back();
    } else if (type == XmlNodeType_Text) {
      reader->GetValue(&text, nullptr);
      fields.values.emplace(path(), text);
    }
  }
  fields.read = result == S_FALSE && open.empty();
  return fields;
}

}  // namespace tessaline::testing
