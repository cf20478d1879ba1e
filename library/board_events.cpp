// The waits of korvic::Board: for external events (EventWatcher) and for the compare flag,
// on the board's interrupt node when it has one (interrupt_node.h), else by polling.
//
// On the node, every look at the board follows a write of 1 to the node, under the board
// lock: the driver re-arms only the inputs whose source is quiet at that moment (a compare
// flag left raised stays masked and wakes nobody), so a source that became active just
// before the write is seen by the look, and one that becomes active after it raises the
// interrupt. What a waiter consumes on the board is its own source only (the external
// event register's first word, or, by its caller, the compare flag).
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "board_impl.h"
#include "interrupt_node.h"
#include "korvic/board.hpp"
#include "regmap.h"
#include "sequences.h"

namespace korvic {
namespace {

namespace fs = std::filesystem;
using std::chrono::steady_clock;

// How often a wait without a node looks at the board.
constexpr std::chrono::microseconds kPollInterval{100};

[[noreturn]] void fail(const std::string &what, const fs::path &path, int error) {
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// A node that could not be used is said once per process: a program that opens many
// Boards on one misconfigured host says it once.
std::atomic<bool> g_noted{false};

void say_once(const std::string &note) {
    if (!note.empty() && !g_noted.exchange(true))
        std::fprintf(stderr, "%s; its waits poll the board (said once)\n", note.c_str());
}

// Looks at the board with `look` until it finds something, the deadline passes or stop()
// is true; on the node, each look follows a write(1) under the board lock and each pause
// is a sleep on the node, else each pause is kPollInterval.
// (Impl is Board::Impl, deduced: a name private to Board.)
template <class Impl, class Look>
auto wait_on_board(Impl &b, Look &&look, steady_clock::time_point deadline,
                   const std::function<bool()> &stop) -> decltype(look()) {
    for (;;) {
        irq::Node *node = b.node_for_wait();
        decltype(look()) found{};
        if (node != nullptr) {
            bool armed = false;
            int error = 0;
            {
                const seq::Hold hold(b.window);
                armed = node->arm();
                error = errno;
                found = look();
            }
            if (!armed) {
                b.drop_node("write", error);
                node = nullptr;
            }
        } else {
            found = look();
        }
        if (found)
            return found;
        if (stop && stop())
            return {};
        const auto now = steady_clock::now();
        if (now >= deadline)
            return {};
        const steady_clock::duration left = deadline - now;
        if (node == nullptr) {
            std::this_thread::sleep_for(std::min<steady_clock::duration>(kPollInterval, left));
        } else if (node->wait(std::min<steady_clock::duration>(irq::kSlice, left)) ==
                   irq::Wake::Failed) {
            b.drop_node("poll", errno);
        }
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// The node of a Board.
// ---------------------------------------------------------------------------------------

void Board::Impl::attach_node() {
    if (!settings.uio_path.empty()) {
        const fs::path &path = settings.uio_path;
        const irq::NodeOpen n = irq::open_node(path.c_str());
        switch (n.failed) {
            case irq::NodeStep::None:
                node = std::make_unique<irq::Node>(n.fd, path);
                return;
            case irq::NodeStep::Open:
                fail("korvic: open interrupt node (UIO_PATH=)", path, n.error);
            case irq::NodeStep::Refused:
                fail("korvic: interrupt node (UIO_PATH=) " + irq::node_problem(n), path, n.error);
        }
    }
    const irq::Location where = irq::find_node(settings.mem_path);
    if (where.path.empty())
        return;
    const irq::NodeOpen n = irq::open_node(where.path.c_str());
    if (n.failed == irq::NodeStep::None) {
        node = std::make_unique<irq::Node>(n.fd, where.path);
        return;
    }
    // A node guessed from the device's name that is not there is simply not there.
    if (!where.bound && n.failed == irq::NodeStep::Open && (n.error == ENOENT || n.error == ENXIO))
        return;
    node_note = "korvic: interrupt node " + where.path.string() + " (of " +
                settings.mem_path.string() + "): " +
                (n.failed == irq::NodeStep::Refused ? irq::node_problem(n)
                                                    : std::string(std::strerror(n.error)));
}

bool Board::Impl::enable_on_node() {
    if (!node) {
        say_once(node_note);
        return false;
    }
    if (node->arm())
        return true;
    const int error = errno;
    if (!settings.uio_path.empty())
        fail("korvic: ENABLE_INT interrupt node: write", node->path(), error);
    drop_node("write", error);
    return false;
}

irq::Node *Board::Impl::node_for_wait() {
    if (!node)
        say_once(node_note);
    return node.get();
}

void Board::Impl::drop_node(const char *step, int error) {
    node_note = "korvic: interrupt node " + node->path().string() + ": " + step + ": " +
                std::strerror(error);
    node.reset();
    say_once(node_note);
}

// ---------------------------------------------------------------------------------------
// The waits.
// ---------------------------------------------------------------------------------------

std::filesystem::path Board::interrupt_node() const {
    const Impl &b = live();
    return b.node ? b.node->path() : fs::path();
}

bool Board::wait_compare_flag(steady_clock::time_point deadline,
                              const std::function<bool()> &stop) {
    const auto raised = [this]() -> std::optional<bool> {
        return compare_flag() ? std::optional<bool>(true) : std::nullopt;
    };
    return wait_on_board(live(), raised, deadline, stop).has_value();
}

std::optional<utc_time> EventWatcher::wait_until(steady_clock::time_point deadline,
                                                 const std::function<bool()> &stop) {
    return wait_on_board(
        board_->live(), [this] { return poll(); }, deadline, stop);
}

}  // namespace korvic
