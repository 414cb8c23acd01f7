#include "app/help_text.h"

namespace brivasto {

std::string_view HelpHtml() {
  return R"html(<html><body>
<h2>Brivasto: intercambio de datos entre SAGA y Talvenor</h2>

<p>Brivasto lleva los datos de planificación del centro en los dos sentidos:
de SAGA a Talvenor antes de hacer el horario, y de Talvenor a SAGA cuando el
horario está hecho.</p>

<h3>De SAGA a Talvenor (exportar)</h3>
<p>Pulse <b>OK</b> bajo «Transformar datos desde SAGA hacia Talvenor» y elija el
documento XML que ha generado SAGA. Brivasto lee sus materias, profesores,
aulas, grupos y las materias asignadas a cada grupo, da a cada elemento un
código corto y crea de nuevo las tablas de intercambio ASIGNOMT, PROFT, AULAT,
GRUPOST y ASIGT, más una tabla DIASHORAST vacía para que Talvenor la rellene
con los días y horas del centro. Cada registro guarda, junto a su código, el
identificador de SAGA.</p>

<h3>De Talvenor a SAGA (importar)</h3>
<p>Cuando Talvenor ha resuelto el horario, pulse <b>OK</b> bajo «Transformar datos
desde Talvenor hacia SAGA» y elija el <i>mismo</i> documento XML. Brivasto lee
la solución (SOLUC), los días y horas (DIASHORAST) y las cuatro tablas de
códigos, escribe el horario en el documento como sección
<code>time-tables</code> (en lugar de la que hubiera) y lo guarda sobre el mismo
archivo, dejando la versión anterior con la extensión <code>.bak</code>. Después
puede cargarlo en SAGA.</p>

<h3>Al terminar</h3>
<p>Si el archivo elegido no existe aparece «No existe archivo» y puede volver a
intentarlo. Al acabar bien aparece «Proceso finalizado» y los dos botones
<b>OK</b> quedan desactivados: para otra transferencia, cierre y vuelva a abrir
el programa. Si algo falla, un mensaje dice qué archivo, tabla, registro o
campo tiene el problema; lo que ya se había escrito se conserva.</p>

<h3>El directorio de intercambio</h3>
<p>Las tablas de intercambio están en el directorio <code>/ZWORK</code>. Para
usar otro, dé su ruta en la variable de entorno <code>BRIVASTO_ZWORK</code>. El
diálogo de archivos se abre en su carpeta <code>saga</code> (o en su carpeta
personal si no existe).</p>

<h3>Uso desde Talvenor (modo por lotes)</h3>
<p>Talvenor inicia Brivasto con dos parámetros: el primero,
<code>exportar</code> o <code>importar</code> (da igual en mayúsculas o
minúsculas), elige el sentido, que empieza en cuanto se abre la ventana; el
segundo no se usa. Al cerrarse, la ventana anota el resultado en el archivo
<code>Talvenor.ini</code>, junto al programa, en la clave
<code>Transformado</code> de la sección <code>[Transformadores]</code>; el resto
del archivo no se toca:</p>
<ul>
<li><b>1</b>: la transferencia terminó bien.</li>
<li><b>-1</b>: la exportación no encontró el archivo elegido.</li>
<li><b>0</b>: no se hizo ninguna transferencia (archivo no encontrado en la
importación, una palabra distinta de exportar o importar, o un error).</li>
</ul>
<p>Con otro número de parámetros la ventana se abre normalmente y no escribe
<code>Talvenor.ini</code>.</p>

<h3>Sin ventana</h3>
<p><code>brivasto-cli export ARCHIVO.xml</code> y
<code>brivasto-cli import ARCHIVO.xml</code> hacen lo mismo desde la línea de
órdenes; <code>--zwork DIR</code> elige el directorio de intercambio.</p>
</body></html>
)html";
}

}  // namespace brivasto
