#include "platform/secret_service_store.hpp"

#include <libsecret/secret.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace kestrel {
namespace {

// A schema of our own, so that only our items match; the attributes are those of a generic
// password item.
const SecretSchema& keySchema() {
    static const SecretSchema schema = [] {
        SecretSchema made{};
        made.name = "org.kestrel-relay.Key";
        made.flags = SECRET_SCHEMA_NONE;
        made.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        made.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return made;
    }();
    return schema;
}

// Re-reading the whole keyring on every failed lookup would let a device that keeps connecting
// drive D-Bus traffic; one read per interval answers them all.
constexpr std::chrono::seconds rereadInterval{2};

struct Failure {
    SecretStoreError error;
    std::string reason;
};

Failure failureOf(GError* error) {
    Failure failure{SecretStoreError::unavailable, error != nullptr ? error->message : "unknown"};
    if (error != nullptr && error->domain == SECRET_ERROR && error->code == SECRET_ERROR_IS_LOCKED)
        failure.error = SecretStoreError::locked;
    if (error != nullptr) g_error_free(error);
    return failure;
}

// Without an address GLib would start a bus of its own through X11 (dbus-launch --autolaunch),
// with a keyring nobody unlocks on it: a store that seems to work and then hangs on every save.
std::optional<Failure> noSessionBus() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address != nullptr && address[0] != '\0') return std::nullopt;
    return Failure{SecretStoreError::unavailable,
                   "no session bus (DBUS_SESSION_BUS_ADDRESS is not set)"};
}

[[noreturn]] void fail(const Failure& failure) {
    throw std::system_error(make_error_code(failure.error), "Secret Service: " + failure.reason);
}

template <typename T>
struct GObjectDeleter {
    void operator()(T* object) const { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectDeleter<T>>;

}  // namespace

struct SecretServiceStore::State {
    struct Reading {
        bool done = false;      // a read has finished
        bool complete = false;  // it saw every item: nothing locked, no error
        SecretStoreError error = SecretStoreError::unavailable;
        std::string reason = "the Secret Service has not answered yet";
    };

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable readFinished_;
    std::deque<std::function<void()>> work_;
    bool stopping_ = false;
    bool readQueued_ = false;
    std::chrono::steady_clock::time_point lastReadRequest_{};
    std::map<Key, SymmetricKey> keys_;
    Reading reading_;

    void run();
    void post(std::function<void()> work);
    void requestRead();  // with mutex_ held
    void readAll();      // on the store's thread
};

SecretServiceStore::SecretServiceStore() : state_(std::make_shared<State>()) {
    std::thread([state = state_] { state->run(); }).detach();
    State& s = *state_;
    std::unique_lock lock(s.mutex_);
    s.readQueued_ = true;
    s.work_.push_back([&s] { s.readAll(); });
    s.wake_.notify_one();
    s.readFinished_.wait_for(lock, firstReadLimit, [&s] { return s.reading_.done; });
    if (!s.reading_.done) s.reading_.reason = "the Secret Service did not answer within 5 s";
}

// The thread ends when it next looks for work. A keyring call that hangs would have held the
// store's owner for as long as D-Bus waits (25 s); the thread keeps the state alive instead.
SecretServiceStore::~SecretServiceStore() {
    {
        const std::lock_guard lock(state_->mutex_);
        state_->stopping_ = true;
        state_->work_.clear();
    }
    state_->wake_.notify_one();
}

std::pair<bool, std::string> SecretServiceStore::works() const {
    const std::lock_guard lock(state_->mutex_);
    return {state_->reading_.done && state_->reading_.complete, state_->reading_.reason};
}

void SecretServiceStore::State::run() {
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !work_.empty(); });
            if (stopping_) return;
            work = std::move(work_.front());
            work_.pop_front();
        }
        work();
    }
}

void SecretServiceStore::State::post(std::function<void()> work) {
    {
        const std::lock_guard lock(mutex_);
        work_.push_back(std::move(work));
    }
    wake_.notify_one();
}

void SecretServiceStore::State::requestRead() {
    const auto now = std::chrono::steady_clock::now();
    if (readQueued_ || now - lastReadRequest_ < rereadInterval) return;
    readQueued_ = true;
    lastReadRequest_ = now;
    work_.push_back([this] { readAll(); });
    wake_.notify_one();
}

void SecretServiceStore::State::readAll() {
    std::map<Key, SymmetricKey> found;
    Reading result{true, false, SecretStoreError::unavailable, {}};
    GError* error = nullptr;
    const std::optional<Failure> missingBus = noSessionBus();
    GObjectPtr<SecretService> service(
        missingBus ? nullptr
                   : secret_service_get_sync(SecretServiceFlags(SECRET_SERVICE_OPEN_SESSION |
                                                                SECRET_SERVICE_LOAD_COLLECTIONS),
                                             nullptr, &error));
    if (!service) {
        const Failure failure = missingBus ? *missingBus : failureOf(error);
        result.error = failure.error;
        result.reason = failure.reason;
    } else {
        bool locked = false;
        GList* collections = secret_service_get_collections(service.get());
        for (GList* entry = collections; entry != nullptr; entry = entry->next)
            locked = locked || secret_collection_get_locked(SECRET_COLLECTION(entry->data));
        g_list_free_full(collections, g_object_unref);

        GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
        GList* items = secret_service_search_sync(
            service.get(), &keySchema(), attributes,
            SecretSearchFlags(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS), nullptr, &error);
        g_hash_table_unref(attributes);
        if (error != nullptr) {
            const Failure failure = failureOf(error);
            result.error = failure.error;
            result.reason = failure.reason;
        } else {
            for (GList* entry = items; entry != nullptr; entry = entry->next) {
                SecretItem* item = SECRET_ITEM(entry->data);
                SecretValue* value = secret_item_get_secret(item);
                if (secret_item_get_locked(item) || value == nullptr) {
                    locked = true;
                    if (value != nullptr) secret_value_unref(value);
                    continue;
                }
                GHashTable* itemAttributes = secret_item_get_attributes(item);
                const auto* serviceName =
                    static_cast<const char*>(g_hash_table_lookup(itemAttributes, "service"));
                const auto* account =
                    static_cast<const char*>(g_hash_table_lookup(itemAttributes, "account"));
                gsize length = 0;
                const gchar* bytes = secret_value_get(value, &length);
                if (serviceName != nullptr && account != nullptr) {
                    try {
                        found.emplace(Key{serviceName, account},
                                      SymmetricKey(ByteView(
                                          reinterpret_cast<const std::uint8_t*>(bytes), length)));
                    } catch (const std::exception&) {
                        // Not a key of ours after all (wrong length): left alone.
                    }
                }
                g_hash_table_unref(itemAttributes);
                secret_value_unref(value);
            }
            g_list_free_full(items, g_object_unref);
            result.complete = !locked;
            result.error = SecretStoreError::locked;
            result.reason = locked ? "the keyring is locked" : "";
        }
    }
    {
        const std::lock_guard lock(mutex_);
        // Keys read before stay known while the keyring is locked or unreachable: what was
        // readable a moment ago is still the key of that device.
        for (auto& [key, value] : found) keys_.insert_or_assign(key, std::move(value));
        if (result.complete) {
            std::erase_if(keys_, [&](const auto& entry) { return !found.contains(entry.first); });
        }
        reading_ = std::move(result);
        readQueued_ = false;
    }
    readFinished_.notify_all();
}

std::optional<SymmetricKey> SecretServiceStore::load(std::string_view service,
                                                     std::string_view account) {
    State& s = *state_;
    const std::lock_guard lock(s.mutex_);
    if (const auto found = s.keys_.find(Key{service, account}); found != s.keys_.end())
        return found->second;
    if (s.reading_.done && s.reading_.complete) return std::nullopt;
    s.requestRead();
    throw std::system_error(
        make_error_code(s.reading_.done ? s.reading_.error : SecretStoreError::unavailable),
        "Secret Service: " + s.reading_.reason);
}

void SecretServiceStore::runAndWait(std::function<void()> work, std::chrono::seconds limit,
                                    const std::string& what) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> outcome = done->get_future();
    state_->post([work = std::move(work), done] {
        try {
            work();
            done->set_value();
        } catch (...) {
            done->set_exception(std::current_exception());
        }
    });
    if (outcome.wait_for(limit) != std::future_status::ready) {
        throw std::system_error(make_error_code(SecretStoreError::unavailable),
                                "the Secret Service did not answer within " +
                                    std::to_string(limit.count()) + " s (" + what + ")");
    }
    outcome.get();
}

void SecretServiceStore::save(std::string_view service, std::string_view account, ByteView secret) {
    saveWithLabel(service, account, secret, "Kestrel relay key");
}

void SecretServiceStore::saveWithLabel(std::string_view service, std::string_view account,
                                       ByteView secret, std::string_view label) {
    const SymmetricKey key(secret);
    Key name{std::string(service), std::string(account)};
    runAndWait(
        [state = state_, name, key, label = std::string(label)] {
            if (const auto failure = noSessionBus()) fail(*failure);
            SecretValue* value = secret_value_new(
                reinterpret_cast<const gchar*>(key.bytes().data()),
                static_cast<gssize>(key.bytes().size()), "application/octet-stream");
            GError* error = nullptr;
            const gboolean stored = secret_password_store_binary_sync(
                &keySchema(), SECRET_COLLECTION_DEFAULT, label.c_str(), value, nullptr, &error,
                "service", name.first.c_str(), "account", name.second.c_str(), nullptr);
            secret_value_unref(value);
            if (!stored) fail(failureOf(error));
            const std::lock_guard lock(state->mutex_);
            state->keys_.insert_or_assign(name, key);
        },
        saveLimit, "saving a key");
}

void SecretServiceStore::remove(std::string_view service, std::string_view account) {
    Key name{std::string(service), std::string(account)};
    runAndWait(
        [state = state_, name] {
            if (const auto failure = noSessionBus()) fail(*failure);
            GError* error = nullptr;
            secret_password_clear_sync(&keySchema(), nullptr, &error, "service", name.first.c_str(),
                                       "account", name.second.c_str(), nullptr);
            if (error != nullptr) fail(failureOf(error));
            const std::lock_guard lock(state->mutex_);
            state->keys_.erase(name);
        },
        saveLimit, "deleting a key");
}

}  // namespace kestrel
