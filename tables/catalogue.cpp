// The exchange tables shared with Talvenor, with their fields in creation
// order, and where they lie.
#include "tables/tables.h"

namespace brivasto {
namespace {

constexpr FieldDef Text(std::string_view name, int width) {
  return {name, FieldKind::kText, width};
}
constexpr FieldDef Integer(std::string_view name) { return {name, FieldKind::kInteger, 0}; }
constexpr FieldDef Real(std::string_view name) { return {name, FieldKind::kReal, 0}; }

constexpr FieldDef kAsignomtFields[] = {Text(field::kCod, 10), Text(field::kCodLargo, 10),
                                        Text(field::kNombre, 80), Text(field::kIdSaga, 60),
                                        Text(field::kHoras, 8)};

constexpr FieldDef kProftFields[] = {Text(field::kAbrev, 10),  Text(field::kNombre, 80),
                                     Text(field::kDepart, 40), Text(field::kEmail, 100),
                                     Integer(field::kDni),     Text(field::kIdSaga, 60)};

constexpr FieldDef kAulatFields[] = {Text(field::kAbrev, 10), Text(field::kNombre, 80),
                                     Text(field::kEdificio, 1), Integer(field::kMaxAlum),
                                     Text(field::kIdSaga, 60)};

constexpr FieldDef kGrupostFields[] = {Text(field::kAbrev, 10), Text(field::kTurno, 1),
                                       Text(field::kNivel, 5),  Text(field::kCurso, 3),
                                       Text(field::kGrupo, 2),  Text(field::kDescrip, 80),
                                       Text(field::kMarco, 1),  Text(field::kIdSaga, 60)};

constexpr FieldDef kAsigtFields[] = {
    Text(field::kCAsig, 10),    Text(field::kCProf, 10), Text(field::kCGrup, 10),
    Text(field::kCAula, 10),    Text(field::kTurno, 1),  Text(field::kNivel, 5),
    Text(field::kCurso, 3),     Text(field::kGrupo, 2),  Real(field::kHoras),
    Text(field::kSesiones, 20), Text(field::kNConex, 4), Text(field::kCTarea, 10)};

constexpr FieldDef kDiashorastFields[] = {
    Text(field::kDiho, 10),     Text(field::kCodDiho, 10),  Text(field::kDia, 20),
    Text(field::kTextoDia, 20), Text(field::kHora, 8),      Text(field::kTextoHor, 15),
    Text(field::kHoraDesde, 8), Text(field::kHoraHasta, 8), Text(field::kMinutos, 8),
    Text(field::kMarco, 1),     Text(field::kMarcoXml, 10)};

}  // namespace

const ExchangeTable kAsignomt{"ASIGNOMT", kAsignomtFields};
const ExchangeTable kProft{"PROFT", kProftFields};
const ExchangeTable kAulat{"AULAT", kAulatFields};
const ExchangeTable kGrupost{"GRUPOST", kGrupostFields};
const ExchangeTable kAsigt{"ASIGT", kAsigtFields};
const ExchangeTable kDiashorast{"DIASHORAST", kDiashorastFields};
const std::array<const ExchangeTable*, 6> kExportedTables = {&kAsignomt, &kProft, &kAulat,
                                                             &kGrupost,  &kAsigt, &kDiashorast};

}  // namespace brivasto
