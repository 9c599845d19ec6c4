#include "catalog/changes.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>

#include "btree/records.h"
#include "catalog/path.h"
#include "volume/leaf_cursor.h"
#include "volume/volume.h"

namespace {

struct Entry {
    Bytes key, data;   // data cut to its record's size
    uint32_t cnid;
    bool folder;
    std::shared_ptr<const uint8_t> keep;
};

// One catalog's file and folder records, a parent folder's at a time.
class Walk {
public:
    Walk(const BTree *tree, const char *name) : tree_(tree), name_(name) {
        if (tree) cursor_.emplace(*tree, tree->firstLeafNode());
        advance();
    }
    // The parent folder of the next record, or none once the walk ended.
    std::optional<uint32_t> parent() const {
        return next_ ? std::optional<uint32_t>(CatalogKeyView{next_->key}.parentID()) : std::nullopt;
    }
    std::vector<Entry> take(uint32_t parent) {
        std::vector<Entry> out;
        while (next_ && CatalogKeyView{next_->key}.parentID() == parent) {
            out.push_back(std::move(*next_));
            advance();
        }
        return out;
    }
    void sayDamage(Messages &messages) const {
        if (!cursor_) return;
        if (cursor_->end() == LeafCursor::End::kDamagedNode || cursor_->end() == LeafCursor::End::kNotALeaf ||
            cursor_->end() == LeafCursor::End::kLoop)
            messages.err("The %s catalog's chain of leaves breaks at node %u: the comparison stops there\n", name_,
                         cursor_->node());
    }
    std::string path(const Entry &entry, Messages &messages) { return catalogPath(tree_, entry.key, messages, &known_); }

private:
    void advance() {
        next_.reset();
        while (cursor_) {
            auto record = cursor_->next();
            if (!record) return;
            Bytes data = getRecordData(record->record);
            int16_t type = catalogRecordType(data);
            if (type != kFolderRecord && type != kFileRecord) continue;
            bool folder = type == kFolderRecord;
            Bytes cut = data.sub(0, folder ? kFolderRecordSize : kFileRecordSize);
            next_ = Entry{record->record, cut.empty() ? data : cut, CatalogRecord{data}.id(), folder, record->keep};
            return;
        }
    }
    const BTree *tree_;
    const char *name_;
    std::optional<LeafCursor> cursor_;
    std::optional<Entry> next_;
    FolderChain known_;
};

std::string keyText(Bytes key) {
    Bytes name = CatalogKeyView{key}.name();
    size_t length = 2 + 2 * static_cast<size_t>(name.be16(0));
    return std::string(reinterpret_cast<const char *>(name.data), std::min(length, name.size));
}

bool same(Bytes a, Bytes b) { return a.size == b.size && std::equal(a.data, a.data + a.size, b.data); }

}  // namespace

std::vector<CatalogChange> catalogChanges(const Volume &before, const Volume &after, Messages &messages) {
    Walk older(before.catalog(), "earlier"), newer(after.catalog(), "later");
    std::vector<CatalogChange> changes;
    while (older.parent() || newer.parent()) {
        uint32_t parent = std::min(older.parent().value_or(UINT32_MAX), newer.parent().value_or(UINT32_MAX));
        std::vector<Entry> was = older.take(parent), is = newer.take(parent);
        std::map<std::string, size_t> byName;
        for (size_t i = 0; i < was.size(); ++i) byName.emplace(keyText(was[i].key), i);
        std::vector<bool> matched(was.size());
        for (const Entry &e : is) {
            auto found = byName.find(keyText(e.key));
            if (found != byName.end() && !matched[found->second]) {
                matched[found->second] = true;
                if (same(was[found->second].data, e.data)) continue;
                changes.push_back({CatalogChange::kChanged, e.folder, e.cnid, newer.path(e, messages)});
            } else {
                changes.push_back({CatalogChange::kAdded, e.folder, e.cnid, newer.path(e, messages)});
            }
        }
        for (size_t i = 0; i < was.size(); ++i)
            if (!matched[i]) changes.push_back({CatalogChange::kRemoved, was[i].folder, was[i].cnid, older.path(was[i], messages)});
    }
    older.sayDamage(messages);
    newer.sayDamage(messages);
    return changes;
}
