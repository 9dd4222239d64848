// What every report writer shares: whole files, pictures drawn by gnuplot,
// and the page's style.
#include <filesystem>
#include <fstream>

#include "analyze/analyze_report.h"
#include "process.h"

namespace palaver::lab {

namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
    if (!f) throw AnalyzeError(path.string() + ": cannot write");
}

std::string tableRow(const std::vector<std::string>& cells, bool header) {
    std::string row = "<tr>";
    for (const std::string& c : cells) row += (header ? "<th>" : "<td>") + html(c) + (header ? "</th>" : "</td>");
    return row + "</tr>\n";
}

// One script, drawn once as SVG and once as PNG.
bool plot(const fs::path& dir, const std::string& name, const std::string& body) {
    std::string script;
    script += "set terminal svg size 720,420 font 'sans,12' background rgb 'white'\n";
    script += "set output '" + name + ".svg'\n";
    script += body;
    script += "set terminal pngcairo size 720,420 font 'sans,10' background rgb 'white'\n";
    script += "set output '" + name + ".png'\nreplot\nunset output\n";
    writeFile(dir / (name + ".gp"), script);
    // Run inside the report folder so that the script's names are relative.
    const int status = runProgram({"sh", "-c", "cd \"$0\" && exec gnuplot \"$1\"", dir.string(), name + ".gp"}).status;
    std::error_code ec;
    return status == 0 && fs::exists(dir / (name + ".svg"), ec) && fs::exists(dir / (name + ".png"), ec);
}

const char* const PageStyle =
    "body{font-family:sans-serif;margin:1.5em;color:#222}"
    "table{border-collapse:collapse;margin:.5em 0 1.5em}td,th{border:1px solid #bbb;padding:2px 8px;"
    "text-align:right}th{background:#eee}td:first-child,th:first-child{text-align:left}"
    "figure{display:inline-block;margin:0 1em 1em 0;vertical-align:top}figure img{width:520px;"
    "border:1px solid #ccc}figcaption{font-size:90%;color:#555}";

}  // namespace palaver::lab
