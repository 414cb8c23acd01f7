#include "import/import.h"

namespace brivasto {

void ImportTimetable(SagaDocument&, const std::filesystem::path&, const RunContext&) {}

}  // namespace brivasto
