// brivasto-gen SCALE DIR [SEED]: writes a synthetic school of that scale into
// DIR: DIR/saga.xml, and DIR/zwork with what an export of it writes together
// with Talvenor's DIASHORAST and SOLUC, ready for an import.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "bench/bench.h"

namespace {

constexpr std::uint64_t kDefaultSeed = 1;

bool ParseScale(std::string_view text, double& scale) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), scale);
  return error == std::errc() && end == text.data() + text.size();
}

bool ParseSeed(std::string_view text, std::uint64_t& seed) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seed);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

int main(int argc, char** argv) {
  double scale = 0;
  std::uint64_t seed = kDefaultSeed;
  if (argc < 3 || argc > 4 || !ParseScale(argv[1], scale) ||
      (argc == 4 && !ParseSeed(argv[3], seed))) {
    std::fprintf(stderr,
                 "Uso: brivasto-gen ESCALA DIR [SEMILLA]\n"
                 "  ESCALA 1 es un instituto grande (400 asignaturas, 250 profesores, 120\n"
                 "  aulas, 100 grupos, 3.000 asignaturas asignadas, SOLUC de 3.000 filas);\n"
                 "  ESCALA k multiplica todo por k (hasta 1000).\n");
    return 2;
  }
  try {
    const brivasto::bench::SchoolSize size = brivasto::bench::SizeForScale(scale);
    brivasto::bench::GenerateSchool(argv[2], scale, seed);
    std::printf(
        "Escala %s, semilla %llu: %zu asignaturas, %zu profesores, %zu aulas, %zu grupos, "
        "%zu asignaturas asignadas, %zu filas de SOLUC en %s\n",
        argv[1], static_cast<unsigned long long>(seed), size.subjects, size.teachers, size.rooms,
        size.groups, size.assignments, size.solutionRows, argv[2]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
