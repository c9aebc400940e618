#include "collisions.h"

#include <algorithm>
#include <cstdint>
#include <tuple>
#include <vector>

namespace marlune::cli {
namespace {

// A file as the search sorts it: by a hash of what it compares (the file itself,
// or the place of its name), then by its place in the run. Sorted keys rather
// than maps: 16 bytes a file, and only while they are compared.
struct Key {
    std::uint64_t hash;
    std::size_t index;
    bool operator<(const Key& other) const { return std::tie(hash, index) < std::tie(other.hash, other.index); }
};

std::uint64_t hashOf(const FileId& id) {
    const auto& [device, high, low] = id;
    return (device * 0x9E3779B97F4A7C15u) ^ (high * 0xC2B2AE3D27D4EB4Fu) ^ (low * 0x165667B19E3779F9u);
}

std::uint64_t hashOf(const Place& place) {
    return hashOf(place.folder) ^ (std::hash<std::string>{}(place.name) * 0x27D4EB2F165667C5u);
}

class Search {
public:
    Search(const FileList& list, const DestinationOf& destinationOf) : list_(list), destinationOf_(destinationOf) {}

    std::map<std::size_t, Collision> run(bool sameFiles) {
        std::vector<Key> keys;
        for (std::size_t i = 0; i < list_.files.size(); ++i) {
            FileId id{};
            if (destinationOf_(i).empty()) continue;
            // What is no file, the library tells of, under each name.
            if (sameFiles && !regularFileId(list_.files[i], id)) continue;
            keys.push_back({hashOf(id), i});
        }
        if (sameFiles) markLater(keys, true);
        // The same vector again, for the names of the files not named earlier.
        std::size_t kept = 0;
        for (std::size_t k = 0; k < keys.size(); ++k) {
            const std::size_t index = keys[k].index;
            if (collisions_.count(index) == 0) keys[kept++] = {hashOf(placeOf(index)), index};
        }
        keys.resize(kept);
        markLater(keys, false);
        return std::move(collisions_);
    }

private:
    Place placeOf(std::size_t index) const {
        const std::string destination = destinationOf_(index);
        Place place;
        if (cli::placeOf(destination, place)) return place;
        return {FileId{}, destination};
    }

    // The same file, or the same name.
    bool alike(std::size_t a, std::size_t b, bool sameFile) const {
        if (!sameFile) {
            const Place first = placeOf(a);
            const Place second = placeOf(b);
            return !(first < second) && !(second < first);
        }
        FileId first{};
        FileId second{};
        return regularFileId(list_.files[a], first) && regularFileId(list_.files[b], second) && first == second;
    }

    // Among files of one hash, each is compared with those before it in the run:
    // the first it matches takes its name.
    void markLater(std::vector<Key>& keys, bool sameFile) {
        std::sort(keys.begin(), keys.end());
        for (std::size_t start = 0, end = 0; start < keys.size(); start = end) {
            for (end = start + 1; end < keys.size() && keys[end].hash == keys[start].hash; ++end) {
            }
            for (std::size_t k = start + 1; k < end; ++k) {
                for (std::size_t earlier = start; earlier < k; ++earlier) {
                    const std::size_t first = keys[earlier].index;
                    if (collisions_.count(first) == 0 && alike(first, keys[k].index, sameFile)) {
                        collisions_.emplace(keys[k].index, Collision{first, sameFile});
                        break;
                    }
                }
            }
        }
    }

    const FileList& list_;
    const DestinationOf& destinationOf_;
    std::map<std::size_t, Collision> collisions_;
};

}  // namespace

RunFiles::RunFiles(const FileList& list) : list_(list) {
    for (std::size_t i = 0; i < list.files.size(); ++i) {
        FileId id{};
        if (regularFileId(list.files[i], id)) keys_.emplace_back(hashOf(id), i);
    }
    std::sort(keys_.begin(), keys_.end());
}

std::size_t RunFiles::find(const std::string& path) const {
    FileId id{};
    if (keys_.empty() || !regularFileId(path, id)) return none;
    const std::uint64_t hash = hashOf(id);
    for (auto key = std::lower_bound(keys_.begin(), keys_.end(), std::make_pair(hash, std::size_t{0}));
         key != keys_.end() && key->first == hash; ++key) {
        FileId other{};
        if (regularFileId(list_.files[key->second], other) && other == id) return key->second;
    }
    return none;
}

std::map<std::size_t, Collision> findCollisions(const FileList& list, const DestinationOf& destinationOf,
                                                bool sameFiles) {
    return Search(list, destinationOf).run(sameFiles);
}

}  // namespace marlune::cli
