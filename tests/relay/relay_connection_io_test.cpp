// Framing over a real loopback TCP connection.

#include "relay/relay_connection_io.hpp"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/read.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <thread>

#include "support/run_to_end.hpp"

namespace kestrel {
namespace {

using asio::ip::tcp;

class RelayConnectionIOTest : public ::testing::Test {
protected:
    void SetUp() override {
        tcp::acceptor acceptor(io_, {asio::ip::make_address("127.0.0.1"), 0});
        client_.connect(acceptor.local_endpoint());
        server_ = acceptor.accept();
    }

    template <typename T>
    T run(asio::awaitable<T> task) {
        return testing::runToEnd(io_, std::move(task));
    }

    // Writes raw bytes from the client end, then optionally closes its sending side.
    void clientSends(const Bytes& bytes, bool thenClose = false) {
        asio::write(client_, asio::buffer(bytes));
        if (thenClose) client_.shutdown(tcp::socket::shutdown_send);
    }

    std::error_code receiveError() {
        RelayConnectionIO io(server_);
        try {
            run(io.receive());
        } catch (const std::system_error& error) {
            return error.code();
        }
        return {};
    }

    asio::io_context io_;
    tcp::socket client_{io_};
    tcp::socket server_{io_};
};

TEST_F(RelayConnectionIOTest, SendWritesOneLengthPrefixedFrame) {
    RelayConnectionIO io(server_);
    run(io.send(Bytes{1, 2, 3, 4, 5}));
    run(io.send(Bytes{}));
    Bytes received(13);
    asio::read(client_, asio::buffer(received));
    EXPECT_EQ(received, (Bytes{0, 0, 0, 5, 1, 2, 3, 4, 5, 0, 0, 0, 0}));
}

TEST_F(RelayConnectionIOTest, FramesInOneSegmentComeOutOneByOne) {
    Bytes both = framed(Bytes{7});
    append(both, framed(Bytes{8, 9}));
    clientSends(both);
    RelayConnectionIO io(server_);
    EXPECT_EQ(run(io.receive()), Bytes{7});
    EXPECT_EQ(run(io.receive()), (Bytes{8, 9}));
}

TEST_F(RelayConnectionIOTest, TheLargestFrameIsAcceptedWhole) {
    const Bytes payload(RelayConnectionIO::maxMessage, 0x5A);
    std::thread writer([&] { clientSends(framed(payload)); });
    RelayConnectionIO io(server_);
    EXPECT_EQ(run(io.receive()), payload);
    writer.join();
}

TEST_F(RelayConnectionIOTest, LengthsOutOfRangeAreRefusedBeforeThePayload) {
    clientSends({0, 8, 0, 1});  // 524,289
    EXPECT_EQ(receiveError(), RelayIOError::oversized);
    clientSends({0, 0, 0, 0});
    EXPECT_EQ(receiveError(), RelayIOError::oversized);
}

TEST_F(RelayConnectionIOTest, APeerThatLeavesMidFrameIsClosed) {
    clientSends({0, 0}, true);
    EXPECT_EQ(receiveError(), RelayIOError::closed);
}

TEST_F(RelayConnectionIOTest, APeerThatLeavesInsideThePayloadIsClosed) {
    clientSends({0, 0, 0, 9, 1, 2}, true);
    EXPECT_EQ(receiveError(), RelayIOError::closed);
}

}  // namespace
}  // namespace kestrel
