// The ranks of a run started by mpirun, over Open MPI (built only with VARNEK_MPI).
//
// Only the main thread of each process calls MPI (MPI_THREAD_FUNNELED); the pools never do.
// Messages are point-to-point byte strings: commands from rank 0 to one worker, replies
// back. Every wait polls with short sleeps instead of blocking, so that an idle process
// leaves its cores to the busy ones, and rank 0's waits have deadlines. Errors come back as
// codes (MPI_ERRORS_RETURN), never as an abort inside the library.
#include <mpi.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <cstdlib>
#include <ctime>
#include <fmt/format.h>
#include <thread>

#include "core/fatal.hpp"
#include "core/parallel.hpp"
#include "research/cluster.hpp"

namespace varnek::research {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kCommandTag = 1;
constexpr int kReplyTag = 2;

std::string mpi_error(int code) {
  char text[MPI_MAX_ERROR_STRING];
  int length = 0;
  if (MPI_Error_string(code, text, &length) != MPI_SUCCESS) return fmt::format("code {}", code);
  return std::string(text, static_cast<std::size_t>(length));
}

void check(int code, const char* call, int peer) {
  if (code != MPI_SUCCESS) {
    throw ClusterLost{fmt::format("{} with rank {} failed: {}", call, peer, mpi_error(code))};
  }
}

// Polls `done` with sleeps growing from 10 us to 1 ms until it holds; false if the deadline
// passes first.
template <class Done>
bool poll_until(Done done, std::optional<Clock::time_point> deadline) {
  std::chrono::microseconds pause(10);
  for (;;) {
    if (done()) return true;
    if (deadline && Clock::now() > *deadline) return false;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(1000));
  }
}

Clock::time_point after(double seconds) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(seconds));
}

int byte_count(std::size_t size) {
  if (size > static_cast<std::size_t>(INT_MAX)) core::fatal("message between processes too large");
  return static_cast<int>(size);
}

// Sends messages[w - 1] to each worker w and waits until every send has completed.
void send_all(MPI_Comm comm, const std::vector<std::string>& messages, Clock::time_point deadline) {
  std::vector<MPI_Request> requests(messages.size(), MPI_REQUEST_NULL);
  for (std::size_t i = 0; i < messages.size(); ++i) {
    const int peer = static_cast<int>(i) + 1;
    check(MPI_Isend(messages[i].data(), byte_count(messages[i].size()), MPI_BYTE, peer,
                    kCommandTag, comm, &requests[i]),
          "MPI_Isend", peer);
  }
  const bool sent = poll_until(
      [&] {
        int flag = 0;
        for (std::size_t i = 0; i < requests.size(); ++i) {
          check(MPI_Test(&requests[i], &flag, MPI_STATUS_IGNORE), "MPI_Test", int(i) + 1);
        }
        return std::all_of(requests.begin(), requests.end(),
                           [](MPI_Request r) { return r == MPI_REQUEST_NULL; });
      },
      deadline);
  if (!sent) {
    const auto late = std::find_if(requests.begin(), requests.end(),
                                   [](MPI_Request r) { return r != MPI_REQUEST_NULL; });
    throw ClusterLost{fmt::format("rank {} took no message within {} s",
                                  late - requests.begin() + 1, kWaitFloorSeconds)};
  }
}

// The next message of `peer` with `tag`; throws at the deadline.
std::string receive_from(MPI_Comm comm, int peer, int tag,
                         std::optional<Clock::time_point> deadline, double waited) {
  MPI_Status status;
  int flag = 0;
  const bool arrived = poll_until(
      [&] {
        check(MPI_Iprobe(peer, tag, comm, &flag, &status), "MPI_Iprobe", peer);
        return flag != 0;
      },
      deadline);
  if (!arrived) throw ClusterLost{fmt::format("rank {} did not answer within {:.0f} s", peer, waited)};
  int count = 0;
  check(MPI_Get_count(&status, MPI_BYTE, &count), "MPI_Get_count", peer);
  std::string bytes(static_cast<std::size_t>(std::max(count, 0)), '\0');
  MPI_Request request = MPI_REQUEST_NULL;
  check(MPI_Irecv(bytes.data(), count, MPI_BYTE, peer, tag, comm, &request), "MPI_Irecv", peer);
  const bool received = poll_until(
      [&] {
        check(MPI_Test(&request, &flag, MPI_STATUS_IGNORE), "MPI_Test", peer);
        return flag != 0;
      },
      deadline);
  if (!received) {
    throw ClusterLost{fmt::format("rank {} did not finish its answer within {:.0f} s", peer, waited)};
  }
  return bytes;
}

// Rank 0's watch for the launcher's SIGTERM. mpirun sends it to every process when one of
// them dies (and when it is interrupted), then SIGKILL a second later: a thread that waits
// for it can still report the failure while the main thread is busy in a fan-out. SIGTERM
// is blocked before MPI and the pools start threads, so that only this thread receives it.
class TermWatch {
 public:
  explicit TermWatch(Terminated terminated) : terminated_(std::move(terminated)) {
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, &previous_);
    thread_ = std::thread([this, term] {
      const timespec tick{0, 100'000'000};
      while (!stop_.load()) {
        if (sigtimedwait(&term, nullptr, &tick) == SIGTERM && terminated_()) std::_Exit(1);
      }
    });
  }
  ~TermWatch() {
    stop_.store(true);
    thread_.join();
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  TermWatch(const TermWatch&) = delete;
  TermWatch& operator=(const TermWatch&) = delete;

 private:
  Terminated terminated_;
  sigset_t previous_{};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class MpiCluster final : public Cluster {
 public:
  MpiCluster(MPI_Comm comm, int rank, int size, std::unique_ptr<TermWatch> watch)
      : Cluster(rank, std::vector<int>(static_cast<std::size_t>(size), core::worker_count())),
        comm_(comm),
        watch_(std::move(watch)) {}

  ~MpiCluster() override {
    if (rank() == 0) {
      try {
        release_workers();
      } catch (const ClusterLost&) {
        abandon();
      }
    }
    watch_.reset();
    MPI_Comm_free(&comm_);
    MPI_Finalize();
  }

  void meet() override {
    if (rank() == 0) {
      const std::vector<std::string> replies =
          round(std::vector<std::string>(size() - 1, std::string(1, '\0')), 0.0, [] {});
      std::vector<int> threads{core::worker_count()};
      for (const std::string& r : replies) {
        int t = 0;
        if (r.size() != sizeof t) core::fatal("malformed message between processes");
        std::memcpy(&t, r.data(), sizeof t);
        threads.push_back(t);
      }
      set_threads(std::move(threads));
      return;
    }
    if (!receive()) core::fatal("a worker was released before the run began");
    const int t = core::worker_count();
    reply(std::string(reinterpret_cast<const char*>(&t), sizeof t));
  }

  std::vector<std::string> round(std::vector<std::string> messages, double expected_seconds,
                                 const std::function<void()>& local) override {
    if (rank() != 0 || released_) core::fatal("only rank 0 sends, and only before release");
    if (messages.size() != static_cast<std::size_t>(size() - 1)) {
      core::fatal("one message per worker");
    }
    send_all(comm_, messages, after(kWaitFloorSeconds));
    const auto started = Clock::now();
    local();
    const double took = std::chrono::duration<double>(Clock::now() - started).count();
    const double wait = kWaitFloorSeconds + kWaitFactor * std::max(took, expected_seconds);
    const auto deadline = after(wait);
    std::vector<std::string> replies;
    for (int w = 1; w < size(); ++w) replies.push_back(receive_from(comm_, w, kReplyTag, deadline, wait));
    return replies;
  }

  void release_workers() override {
    if (rank() != 0 || released_) return;
    released_ = true;
    send_all(comm_, std::vector<std::string>(size() - 1), after(kWaitFloorSeconds));
  }

  std::optional<std::string> receive() override {
    if (rank() == 0) core::fatal("only a worker process receives");
    std::string message = receive_from(comm_, 0, kCommandTag, std::nullopt, 0.0);
    if (message.empty()) return std::nullopt;
    return message;
  }

  void reply(std::string message) override {
    MPI_Request request = MPI_REQUEST_NULL;
    check(MPI_Isend(message.data(), byte_count(message.size()), MPI_BYTE, 0, kReplyTag, comm_,
                    &request),
          "MPI_Isend", 0);
    poll_until(
        [&] {
          int flag = 0;
          check(MPI_Test(&request, &flag, MPI_STATUS_IGNORE), "MPI_Test", 0);
          return flag != 0;
        },
        std::nullopt);
  }

  void end_all() override { MPI_Abort(comm_, 1); }

 private:
  MPI_Comm comm_;
  bool released_ = false;
  std::unique_ptr<TermWatch> watch_;
};

}  // namespace

std::unique_ptr<Cluster> join_mpi_cluster(const Launch& launch, Terminated terminated) {
  std::unique_ptr<TermWatch> watch;
  if (launch.rank == 0) watch = std::make_unique<TermWatch>(std::move(terminated));
  int provided = 0;
  MPI_Init_thread(nullptr, nullptr, MPI_THREAD_FUNNELED, &provided);
  MPI_Comm_set_errhandler(MPI_COMM_WORLD, MPI_ERRORS_RETURN);
  MPI_Comm comm = MPI_COMM_NULL;
  MPI_Comm_dup(MPI_COMM_WORLD, &comm);
  MPI_Comm_set_errhandler(comm, MPI_ERRORS_RETURN);
  int rank = 0, size = 1;
  MPI_Comm_rank(comm, &rank);
  MPI_Comm_size(comm, &size);
  if (rank != launch.rank) core::fatal("MPI rank differs from the launcher's");
  return std::make_unique<MpiCluster>(comm, rank, size, std::move(watch));
}

}  // namespace varnek::research
