#include "platform/avahi_service_advertiser.hpp"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>

#include <asio/post.hpp>

#include <optional>
#include <stdexcept>

namespace kestrel {
namespace {

std::string quoted(const std::string& name) { return "\u201C" + name + "\u201D"; }

// Serialises every use of Avahi's objects from outside its poll thread (callbacks run with the
// lock already held).
class PollLock {
public:
    explicit PollLock(AvahiThreadedPoll* poll) : poll_(poll) { avahi_threaded_poll_lock(poll_); }
    ~PollLock() { avahi_threaded_poll_unlock(poll_); }
    PollLock(const PollLock&) = delete;
    PollLock& operator=(const PollLock&) = delete;

private:
    AvahiThreadedPoll* poll_;
};

}  // namespace

// Everything here runs on Avahi's poll thread or under its lock.
struct AvahiServiceAdvertiser::Engine {
    struct Service {
        std::string name;  // as the relay asked
        std::string type;
        std::uint16_t port = 0;
    };

    asio::any_io_executor relayExecutor;
    std::shared_ptr<Snapshot> target;
    AvahiThreadedPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    AvahiEntryGroup* group = nullptr;
    std::optional<Service> wanted;
    std::string registeredName;  // the name in the group, after any renaming

    Engine(asio::any_io_executor executor, std::shared_ptr<Snapshot> snapshot)
        : relayExecutor(std::move(executor)), target(std::move(snapshot)) {
        poll = avahi_threaded_poll_new();
        if (poll == nullptr) throw std::runtime_error("cannot create Avahi's poll");
        connect();
        if (avahi_threaded_poll_start(poll) < 0) {
            if (client != nullptr) avahi_client_free(client);
            avahi_threaded_poll_free(poll);
            throw std::runtime_error("cannot start Avahi's poll thread");
        }
    }

    ~Engine() {
        avahi_threaded_poll_stop(poll);
        // Freeing the client frees its entry groups.
        if (client != nullptr) avahi_client_free(client);
        avahi_threaded_poll_free(poll);
    }

    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    void publish(State state, std::string description) {
        Snapshot value{state, std::move(description),
                       state == State::advertised ? registeredName : std::string()};
        asio::post(relayExecutor, [target = target, value = std::move(value)]() mutable {
            *target = std::move(value);
        });
    }

    // With NO_FAIL the client waits for a daemon that is not there yet, and for the bus itself.
    void connect() {
        int error = 0;
        group = nullptr;
        client = avahi_client_new(avahi_threaded_poll_get(poll), AVAHI_CLIENT_NO_FAIL,
                                  &Engine::clientChanged, this, &error);
        if (client == nullptr) {
            publish(State::failed,
                    std::string("not advertised: Avahi client: ") + avahi_strerror(error));
        }
    }

    void publishWaiting() {
        if (wanted) publish(State::unavailable, "waiting for avahi-daemon");
    }

    void registerService(AvahiClient* c) {
        if (!wanted) return;
        if (group == nullptr) {
            group = avahi_entry_group_new(c, &Engine::groupChanged, this);
            if (group == nullptr) {
                fail(avahi_client_errno(c));
                return;
            }
        }
        if (registeredName.empty()) registeredName = wanted->name;
        for (;;) {
            // No TXT record: the service type and the name say all a client needs.
            int result = avahi_entry_group_add_service(group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                       AvahiPublishFlags(0), registeredName.c_str(),
                                                       wanted->type.c_str(), nullptr, nullptr,
                                                       wanted->port, nullptr);
            if (result == AVAHI_ERR_COLLISION) {
                rename();
                continue;
            }
            if (result < 0 || (result = avahi_entry_group_commit(group)) < 0) {
                fail(result);
                return;
            }
            break;
        }
        publish(State::registering, "registering as " + quoted(registeredName));
    }

    void rename() {
        char* alternative = avahi_alternative_service_name(registeredName.c_str());
        registeredName = alternative;
        avahi_free(alternative);
        if (group != nullptr) avahi_entry_group_reset(group);
    }

    void fail(int error) {
        publish(State::failed, std::string("not advertised: ") + avahi_strerror(error));
    }

    // A new name, type or port: the old record goes, the new one is made from the asked name.
    void change(std::optional<Service> service) {
        wanted = std::move(service);
        registeredName.clear();
        if (group != nullptr) avahi_entry_group_reset(group);
        if (!wanted) {
            publish(State::unavailable, "not advertised");
            return;
        }
        if (client != nullptr && avahi_client_get_state(client) == AVAHI_CLIENT_S_RUNNING) {
            registerService(client);
        } else {
            publishWaiting();
        }
    }

    static void clientChanged(AvahiClient* c, AvahiClientState state, void* context) {
        auto& self = *static_cast<Engine*>(context);
        switch (state) {
            case AVAHI_CLIENT_S_RUNNING: self.registerService(c); break;
            case AVAHI_CLIENT_S_COLLISION:
            case AVAHI_CLIENT_S_REGISTERING:
                // The host name is being (re)negotiated; records come back when it is running.
                if (self.group != nullptr) avahi_entry_group_reset(self.group);
                break;
            case AVAHI_CLIENT_CONNECTING: self.publishWaiting(); break;
            case AVAHI_CLIENT_FAILURE:
                // A client whose daemon went away never reconnects: make a new one, which waits
                // for the daemon's return. Its groups died with it.
                if (avahi_client_errno(c) == AVAHI_ERR_DISCONNECTED) {
                    avahi_client_free(c);
                    self.client = nullptr;
                    self.publishWaiting();
                    self.connect();
                } else {
                    self.fail(avahi_client_errno(c));
                }
                break;
        }
    }

    static void groupChanged(AvahiEntryGroup* g, AvahiEntryGroupState state, void* context) {
        auto& self = *static_cast<Engine*>(context);
        if (g != self.group || !self.wanted) return;
        switch (state) {
            case AVAHI_ENTRY_GROUP_ESTABLISHED:
                self.publish(State::advertised,
                             self.registeredName == self.wanted->name
                                 ? "advertised as " + quoted(self.registeredName)
                                 : "name in use, advertised as " + quoted(self.registeredName));
                break;
            case AVAHI_ENTRY_GROUP_COLLISION:
                // Another host on the link holds the name.
                self.rename();
                self.registerService(avahi_entry_group_get_client(g));
                break;
            case AVAHI_ENTRY_GROUP_FAILURE:
                self.fail(avahi_client_errno(avahi_entry_group_get_client(g)));
                break;
            case AVAHI_ENTRY_GROUP_UNCOMMITED:
            case AVAHI_ENTRY_GROUP_REGISTERING: break;
        }
    }
};

AvahiServiceAdvertiser::AvahiServiceAdvertiser(asio::any_io_executor relayExecutor)
    : snapshot_(std::make_shared<Snapshot>()),
      engine_(std::make_unique<Engine>(std::move(relayExecutor), snapshot_)) {}

AvahiServiceAdvertiser::~AvahiServiceAdvertiser() = default;

void AvahiServiceAdvertiser::advertise(const std::string& name, const std::string& type,
                                       std::uint16_t port) {
    const PollLock lock(engine_->poll);
    engine_->change(Engine::Service{name, type, port});
}

void AvahiServiceAdvertiser::stop() {
    const PollLock lock(engine_->poll);
    engine_->change(std::nullopt);
}

ServiceAdvertiser::State AvahiServiceAdvertiser::state() const { return snapshot_->state; }

std::string AvahiServiceAdvertiser::stateDescription() const { return snapshot_->description; }

std::string AvahiServiceAdvertiser::advertisedName() const { return snapshot_->advertisedName; }

}  // namespace kestrel
