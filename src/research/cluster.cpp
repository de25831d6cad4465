#include "research/cluster.hpp"

#include <charconv>
#include <cstdlib>
#include <numeric>
#include <string_view>

#include "core/fatal.hpp"
#include "core/parallel.hpp"

namespace varnek::research {

#ifdef VARNEK_MPI
// research/mpi/cluster_mpi.cpp
std::unique_ptr<Cluster> join_mpi_cluster(const Launch& launch, Terminated terminated);
#endif

namespace {

// The process alone: every fan-out runs on its own pool, as it always has.
class SingleProcess final : public Cluster {
 public:
  SingleProcess() : Cluster(0, {core::worker_count()}) {}
};

int environment_int(const char* name, int fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr) return fallback;
  const std::string_view s(text);
  int value = fallback;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  return ec == std::errc() && end == s.data() + s.size() ? value : fallback;
}

}  // namespace

int Cluster::workers() const {
  return std::accumulate(threads_.begin(), threads_.end(), 0);
}

std::pair<std::size_t, std::size_t> Cluster::share(std::size_t n, int r) const {
  std::uint64_t before = 0, total = 0;
  for (int i = 0; i < size(); ++i) {
    const auto t = static_cast<std::uint64_t>(std::max(threads_[i], 1));
    if (i < r) before += t;
    total += t;
  }
  const auto t = static_cast<std::uint64_t>(std::max(threads_[r], 1));
  // n * threads fits in 64 bits for any list a run can hold.
  return {static_cast<std::size_t>(n * before / total),
          static_cast<std::size_t>(n * (before + t) / total)};
}

std::vector<std::string> Cluster::round(std::vector<std::string> messages, double,
                                        const std::function<void()>& local) {
  if (!messages.empty()) core::fatal("a single process has no worker to send to");
  local();
  return {};
}

std::optional<std::string> Cluster::receive() {
  core::fatal("only a worker process receives");
}

void Cluster::reply(std::string) {
  core::fatal("only a worker process replies");
}

void Cluster::abandon() {
  end_all();
  std::_Exit(1);
}

Launch launch_of_this_process() {
  Launch launch;
  launch.by_mpirun = std::getenv("OMPI_COMM_WORLD_SIZE") != nullptr;
  if (!launch.by_mpirun) return launch;
  launch.size = std::max(environment_int("OMPI_COMM_WORLD_SIZE", 1), 1);
  launch.rank = environment_int("OMPI_COMM_WORLD_RANK", 0);
  return launch;
}

core::Result<std::unique_ptr<Cluster>> join_cluster(const Launch& launch, Terminated terminated) {
  if (!launch.by_mpirun) return std::unique_ptr<Cluster>(new SingleProcess());
#ifdef VARNEK_MPI
  return join_mpi_cluster(launch, std::move(terminated));
#else
  (void)terminated;
  // One process under mpirun is still one run; several would each run it whole.
  if (launch.size == 1) return std::unique_ptr<Cluster>(new SingleProcess());
  return core::Error{"this varnek was built without MPI"};
#endif
}

}  // namespace varnek::research
