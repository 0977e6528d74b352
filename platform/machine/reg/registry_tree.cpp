#include <algorithm>
#include <vector>

#include "platform/bytes.h"
#include "platform/machine/registry_files.h"

namespace platform {
namespace {

std::vector<std::string_view> SplitPath(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('\\', pos);
        if (slash == std::string_view::npos) slash = path.size();
        if (slash > pos) parts.push_back(path.substr(pos, slash - pos));
        pos = slash + 1;
    }
    return parts;
}

}  // namespace

bool RegistryNameLess::operator()(std::string_view a, std::string_view b) const {
    return CompareAsciiNoCase(a, b) < 0;
}

RegistryNode* RegistryTree::Find(std::string_view path) {
    RegistryNode* node = &m_root;
    for (std::string_view part : SplitPath(path)) {
        auto it = node->children.find(part);
        if (it == node->children.end()) return nullptr;
        node = it->second.get();
    }
    return node;
}

RegistryNode* RegistryTree::Create(std::string_view path) {
    RegistryNode* node = &m_root;
    for (std::string_view part : SplitPath(path)) {
        auto& child = node->children[std::string(part)];
        if (!child) {
            child = std::make_unique<RegistryNode>();
            child->name = std::string(part);
        }
        node = child.get();
    }
    return node;
}

void RegistryTree::Delete(std::string_view path) {
    std::vector<std::string_view> parts = SplitPath(path);
    if (parts.empty()) return;
    RegistryNode* parent = &m_root;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        auto it = parent->children.find(parts[i]);
        if (it == parent->children.end()) return;
        parent = it->second.get();
    }
    parent->children.erase(std::string(parts.back()));
}

}  // namespace platform
