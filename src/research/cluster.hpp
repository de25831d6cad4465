#pragma once
// The processes of one research run: the single process of a run started directly, or the
// ranks mpirun started (Open MPI), one of which, rank 0, drives the run while the others
// serve its fan-outs.
//
// The cluster carries bytes only: rank 0 sends each worker one message per round, computes
// its own share meanwhile and collects one reply per worker, in rank order. Every wait of
// rank 0 is bounded, so a worker that stops answering fails the run instead of hanging it.
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/result.hpp"

namespace varnek::research {

// A worker that has not answered by then is taken for lost: after rank 0's own work for
// the round, kWaitFloorSeconds plus kWaitFactor times what that work took (or was expected
// to take), so that a slower machine is waited for and a dead one is not.
inline constexpr double kWaitFloorSeconds = 60.0;
inline constexpr double kWaitFactor = 10.0;

// A worker stopped answering in time, or the transport failed: the run cannot go on. Like
// exhausted memory it can strike in any fan-out, so it unwinds to the driver, which
// reports it. `technical` names the rank and what failed.
struct ClusterLost {
  std::string technical;
};

class Cluster {
 public:
  virtual ~Cluster() = default;
  Cluster(const Cluster&) = delete;
  Cluster& operator=(const Cluster&) = delete;

  int rank() const { return rank_; }
  int size() const { return static_cast<int>(threads_.size()); }
  bool distributed() const { return size() > 1; }
  // Pool threads of each rank, in rank order (known on rank 0), and their sum: the run's
  // "workers".
  const std::vector<int>& threads() const { return threads_; }
  int workers() const;

  // Rank r's share [first, last) of n inputs: contiguous, in rank order, proportional to
  // the ranks' threads (so shares are what they are whatever the order of arrival).
  std::pair<std::size_t, std::size_t> share(std::size_t n, int r) const;

  // Every rank, once after joining: rank 0 learns each worker's thread count. Throws
  // ClusterLost.
  virtual void meet() {}

  // Rank 0: sends messages[w - 1] to each worker w, runs `local`, then returns the workers'
  // replies in rank order. `expected_seconds` is rank 0's estimate of a worker's work when
  // `local` has none of its own. Throws ClusterLost.
  virtual std::vector<std::string> round(std::vector<std::string> messages,
                                         double expected_seconds,
                                         const std::function<void()>& local);

  // Rank 0: tells every worker that the run needs it no more (once; later calls do
  // nothing). Throws ClusterLost.
  virtual void release_workers() {}

  // A worker: the next message of rank 0, none once released; and the answer to it.
  virtual std::optional<std::string> receive();
  virtual void reply(std::string message);

  // Rank 0 after a lost worker: ends every process of the run at once, with status 1.
  [[noreturn]] void abandon();

 protected:
  Cluster(int rank, std::vector<int> threads) : rank_(rank), threads_(std::move(threads)) {}
  void set_threads(std::vector<int> threads) { threads_ = std::move(threads); }
  // Ends the other processes too, if there are any.
  virtual void end_all() {}

 private:
  int rank_ = 0;
  std::vector<int> threads_;
};

// How this process was started: Open MPI's launcher sets OMPI_COMM_WORLD_SIZE and
// OMPI_COMM_WORLD_RANK in the environment of every process it starts. These are the
// launcher's, not settings of this system.
struct Launch {
  bool by_mpirun = false;
  int rank = 0;
  int size = 1;
};

Launch launch_of_this_process();

// Told on rank 0 when the launcher ends the run early (SIGTERM: mpirun does so when another
// process dies or when it is interrupted), from a thread of its own. When it returns true
// the process ends at once with status 1; false lets the run finish (it is nearly done).
using Terminated = std::function<bool()>;

// The single process when not started by mpirun (a run as always); under mpirun the ranks
// joined over MPI, each rank's thread count known to rank 0. Fails with a text when this
// build cannot join them (built without MPI and started as several processes).
core::Result<std::unique_ptr<Cluster>> join_cluster(const Launch& launch, Terminated terminated);

}  // namespace varnek::research
