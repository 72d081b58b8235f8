// The in-memory registry tree and the backend that serves it.
#include "platform/registry_mem.h"

#include <ctype.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

namespace {

struct Value {
    std::string name;
    uint32_t type;
    std::vector<uint8_t> data;
};

struct Node {
    std::string name;
    Node* parent = nullptr;
    std::vector<std::unique_ptr<Node>> children;
    std::vector<Value> values;
    bool denied = false;
    bool vanishOnOpen = false;
    bool gone = false;  // removed; kept allocated so that stale handles stay safe
};

struct Handle {
    Node* node;
    uint32_t access;
};

bool sameName(const std::string& a, const char* b, size_t bLength) {
    if (a.size() != bLength) return false;
    for (size_t i = 0; i < bLength; ++i) {
        if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

Node* findChild(Node* n, const char* name, size_t length) {
    for (auto& c : n->children) {
        if (!c->gone && sameName(c->name, name, length)) return c.get();
    }
    return nullptr;
}

Value* findValue(Node* n, const char* name) {
    for (Value& v : n->values) {
        if (sameName(v.name, name, strlen(name))) return &v;
    }
    return nullptr;
}

// Calls f(component, length) for each non-empty component of a '\'-separated path; stops
// and returns false when f does.
template <typename F>
bool forEachComponent(const char* path, F f) {
    const char* p = path;
    while (*p) {
        const char* end = strchr(p, '\\');
        size_t length = end ? static_cast<size_t>(end - p) : strlen(p);
        if (length > 0 && !f(p, length)) return false;
        if (!end) break;
        p = end + 1;
    }
    return true;
}

void markGone(Node* n) {
    n->gone = true;
    for (auto& c : n->children) markGone(c.get());
}

// Copies data into a caller's buffer with the Windows size rules.
long copyData(const std::vector<uint8_t>& data, uint8_t* out, uint32_t* length) {
    uint32_t size = static_cast<uint32_t>(data.size());
    if (out == nullptr) {
        if (length) *length = size;
        return REG_ERROR_SUCCESS;
    }
    if (*length < size) {
        *length = size;
        return REG_ERROR_MORE_DATA;
    }
    if (size) memcpy(out, data.data(), size);
    *length = size;
    return REG_ERROR_SUCCESS;
}

}  // namespace

struct MemRegistry::Impl {
    Node root;
    std::set<Handle*> handles;
    int opens = 0;
    uint32_t platformId = REG_PLATFORM_WIN32_NT;
    uint32_t majorVersion = 10;
    RegistryBackend backend;

    Node* lookup(const char* path) {
        Node* n = &root;
        bool found = forEachComponent(path, [&](const char* c, size_t length) {
            n = findChild(n, c, length);
            return n != nullptr;
        });
        return found ? n : nullptr;
    }

    Node* create(const char* path) {
        Node* n = &root;
        forEachComponent(path, [&](const char* c, size_t length) {
            Node* child = findChild(n, c, length);
            if (!child) {
                n->children.push_back(std::make_unique<Node>());
                child = n->children.back().get();
                child->name.assign(c, length);
                child->parent = n;
            }
            n = child;
            return true;
        });
        return n == &root ? nullptr : n;
    }

    // The node behind a handle: REG_HKLM is the root. Sets *error when the handle is unusable.
    Node* resolve(RegKey key, uint32_t* access, long* error) {
        if (key == REG_HKLM) {
            *access = ~0u;
            return &root;
        }
        Handle* h = static_cast<Handle*>(key);
        if (handles.count(h) == 0) {
            *error = REG_ERROR_INVALID_HANDLE;
            return nullptr;
        }
        if (h->node->gone) {
            *error = REG_ERROR_KEY_DELETED;
            return nullptr;
        }
        *access = h->access;
        return h->node;
    }

    static Impl* of(void* self) { return static_cast<Impl*>(self); }

    static long open(void* self, RegKey parent, const char* subKey, uint32_t access, RegKey* out) {
        Impl* t = of(self);
        uint32_t parentAccess;
        long error = REG_ERROR_SUCCESS;
        Node* n = t->resolve(parent, &parentAccess, &error);
        if (!n) return error;
        forEachComponent(subKey, [&](const char* c, size_t length) {
            n = findChild(n, c, length);
            return n != nullptr;
        });
        if (!n) return REG_ERROR_FILE_NOT_FOUND;
        if (n->vanishOnOpen) {
            markGone(n);
            return REG_ERROR_FILE_NOT_FOUND;
        }
        if (n->denied) return REG_ERROR_ACCESS_DENIED;
        Handle* h = new Handle{n, access};
        t->handles.insert(h);
        ++t->opens;
        *out = h;
        return REG_ERROR_SUCCESS;
    }

    static long enumKey(void* self, RegKey key, uint32_t index, char* name, uint32_t* nameLength) {
        Impl* t = of(self);
        uint32_t access;
        long error = REG_ERROR_SUCCESS;
        Node* n = t->resolve(key, &access, &error);
        if (!n) return error;
        if (!(access & REG_KEY_ENUMERATE_SUB_KEYS)) return REG_ERROR_ACCESS_DENIED;
        uint32_t seen = 0;
        for (auto& c : n->children) {
            if (c->gone) continue;
            if (seen++ != index) continue;
            if (c->name.size() + 1 > *nameLength) return REG_ERROR_MORE_DATA;
            memcpy(name, c->name.c_str(), c->name.size() + 1);
            *nameLength = static_cast<uint32_t>(c->name.size());
            return REG_ERROR_SUCCESS;
        }
        return REG_ERROR_NO_MORE_ITEMS;
    }

    static long enumValue(void* self, RegKey key, uint32_t index, char* name, uint32_t* nameLength,
                          uint32_t* type, uint8_t* data, uint32_t* dataLength) {
        Impl* t = of(self);
        uint32_t access;
        long error = REG_ERROR_SUCCESS;
        Node* n = t->resolve(key, &access, &error);
        if (!n) return error;
        if (!(access & REG_KEY_QUERY_VALUE)) return REG_ERROR_ACCESS_DENIED;
        if (index >= n->values.size()) return REG_ERROR_NO_MORE_ITEMS;
        const Value& v = n->values[index];
        if (v.name.size() + 1 > *nameLength) {
            if (dataLength) *dataLength = static_cast<uint32_t>(v.data.size());
            return REG_ERROR_MORE_DATA;
        }
        long r = copyData(v.data, data, dataLength);
        if (r != REG_ERROR_SUCCESS) return r;
        memcpy(name, v.name.c_str(), v.name.size() + 1);
        *nameLength = static_cast<uint32_t>(v.name.size());
        if (type) *type = v.type;
        return REG_ERROR_SUCCESS;
    }

    static long query(void* self, RegKey key, const char* name, uint32_t* type, uint8_t* data,
                      uint32_t* dataLength) {
        Impl* t = of(self);
        uint32_t access;
        long error = REG_ERROR_SUCCESS;
        Node* n = t->resolve(key, &access, &error);
        if (!n) return error;
        if (!(access & REG_KEY_QUERY_VALUE)) return REG_ERROR_ACCESS_DENIED;
        Value* v = findValue(n, name);
        if (!v) return REG_ERROR_FILE_NOT_FOUND;
        long r = copyData(v->data, data, dataLength);
        if (r == REG_ERROR_SUCCESS && type) *type = v->type;
        return r;
    }

    static long close(void* self, RegKey key) {
        Impl* t = of(self);
        if (key == REG_HKLM) return REG_ERROR_SUCCESS;
        Handle* h = static_cast<Handle*>(key);
        if (t->handles.erase(h) == 0) return REG_ERROR_INVALID_HANDLE;
        delete h;
        return REG_ERROR_SUCCESS;
    }

    static void getVersion(void* self, uint32_t* platformId, uint32_t* majorVersion) {
        *platformId = of(self)->platformId;
        *majorVersion = of(self)->majorVersion;
    }
};

MemRegistry::MemRegistry() : impl_(std::make_unique<Impl>()) {
    impl_->backend =
        RegistryBackend{&Impl::open,  &Impl::enumKey,    &Impl::enumValue, &Impl::query,
                        &Impl::close, &Impl::getVersion, impl_.get()};
}

MemRegistry::~MemRegistry() {
    for (Handle* h : impl_->handles) delete h;
}

const RegistryBackend* MemRegistry::backend() const {
    return &impl_->backend;
}

int MemRegistry::addKey(const char* path) {
    return impl_->create(path ? path : "") ? 1 : 0;
}

int MemRegistry::setString(const char* keyPath, const char* name, const char* value) {
    return setValue(keyPath, name, REG_TYPE_SZ, value, strlen(value) + 1);
}

int MemRegistry::setValue(const char* keyPath, const char* name, uint32_t type, const void* data,
                          size_t size) {
    Node* n = impl_->create(keyPath ? keyPath : "");
    if (!n || !name) return 0;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    Value* v = findValue(n, name);
    if (!v) {
        n->values.push_back(Value{name, type, {}});
        v = &n->values.back();
    }
    v->type = type;
    v->data.assign(bytes, bytes + size);
    return 1;
}

int MemRegistry::denyAccess(const char* keyPath) {
    Node* n = impl_->lookup(keyPath ? keyPath : "");
    if (!n || n == &impl_->root) return 0;
    n->denied = true;
    return 1;
}

int MemRegistry::vanishOnOpen(const char* keyPath) {
    Node* n = impl_->lookup(keyPath ? keyPath : "");
    if (!n || n == &impl_->root) return 0;
    n->vanishOnOpen = true;
    return 1;
}

int MemRegistry::remove(const char* keyPath) {
    Node* n = impl_->lookup(keyPath ? keyPath : "");
    if (!n || n == &impl_->root) return 0;
    markGone(n);
    return 1;
}

void MemRegistry::setVersion(uint32_t platformId, uint32_t majorVersion) {
    impl_->platformId = platformId;
    impl_->majorVersion = majorVersion;
}

int MemRegistry::openHandleCount() const {
    return static_cast<int>(impl_->handles.size());
}
int MemRegistry::openCallCount() const {
    return impl_->opens;
}
