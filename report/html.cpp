#include "report/html.h"

#include <cstdio>
#include <string_view>

#include "report/fields.h"
#include "report/svg.h"

namespace kestrel::report {

namespace {

// Longer spans get a bar per day with detections instead of one per calendar day.
constexpr int max_calendar_years = 10;

constexpr std::string_view style = R"(
body{font:14px/1.4 system-ui,sans-serif;margin:24px;color:#222;background:#fff}
h1{font-size:22px;margin:0 0 4px}h2{font-size:17px;margin:28px 0 4px}
.facts{display:grid;grid-template-columns:max-content max-content;gap:2px 16px;margin:12px 0}
.facts dt{color:#666}.facts dd{margin:0;font-weight:600}
.charts{display:flex;flex-wrap:wrap;gap:12px}
.chart{border:1px solid #ddd;background:#fcfcfc}
.chart .title{font-size:13px;font-weight:600;fill:#333}
.chart .grid{stroke:#e4e4e4}.chart .y{font-size:11px;fill:#666;text-anchor:end}
.chart .x{font-size:11px;fill:#666;text-anchor:middle}
.chart .bar{fill:#2f6fb3}.chart a .bar:hover{fill:#e07b00}
.chart .range{fill:none;stroke:#c0392b}
.note{color:#666}
table{border-collapse:collapse;margin-top:8px}
th,td{border:1px solid #ddd;padding:3px 8px;text-align:left;white-space:pre}
th{background:#f2f2f2}td.n{text-align:right}
)";

std::string day_anchor(Date date) { return "day-" + iso_date(date); }

std::string facts_list(const std::vector<Fact>& facts) {
  std::string html = "<dl class=\"facts\">";
  for (const Fact& fact : facts) {
    html += "<dt>" + escape_xml(fact.name) + "</dt><dd>" + escape_xml(fact.value) + "</dd>";
  }
  return html + "</dl>";
}

std::vector<Bar> bars_per_day(const Summary& summary) {
  const auto& days = summary.days();
  std::vector<Bar> bars;
  auto add = [&](Date date, uint64_t count) {
    bars.push_back(Bar{count,
                       {},
                       iso_date(date) + ": " + std::to_string(count) + " detections",
                       count ? "#" + day_anchor(date) : ""});
  };
  Date first = days.begin()->second.date;
  Date last = days.rbegin()->second.date;
  if (last.year - first.year < max_calendar_years) {
    for (Date date = first; date.key() <= last.key(); date = next_day(date)) {
      auto day = days.find(date.key());
      add(date, day == days.end() ? 0 : day->second.detections);
    }
  } else {
    for (const auto& [key, day] : days) add(day.date, day.detections);
  }
  // About eight labelled days along the axis.
  size_t every = bars.size() / 8 + 1;
  for (size_t i = 0; i < bars.size(); i += every) bars[i].label = bars[i].tooltip.substr(0, 10);
  return bars;
}

std::string day_section(const DayStats& day) {
  std::vector<Bar> hours(24);
  for (int hour = 0; hour < 24; ++hour) {
    char label[8];
    std::snprintf(label, sizeof label, "%02d", hour);
    hours[hour] =
        Bar{day.per_hour[hour],
            hour % 3 == 0 ? label : "",
            std::string(label) + ":00: " + std::to_string(day.per_hour[hour]) + " detections",
            {}};
  }
  std::string date = iso_date(day.date);
  return "<section id=\"" + day_anchor(day.date) + "\"><h2>" + date + "</h2><p class=\"note\">" +
         std::to_string(day.detections) + " detections, closest " +
         distance_text(day.closest.centimetres) + " m at " + iso_time(day.closest.time) +
         "</p><div class=\"charts\">" + bar_chart("Detections per hour, " + date, hours) +
         distance_chart("Distance (m) over the day, nearest to farthest per minute",
                        day.per_minute) +
         "</div></section>\n";
}

std::string cell(std::string_view text) { return "<td>" + escape_xml(text) + "</td>"; }

std::string runs_table(const std::vector<RunRecord>& runs) {
  std::string html =
      "<table><tr><th>date</th><th>start</th><th>last seen before</th><th>stop</th>"
      "<th>serial number</th><th>rows</th><th>tagsheet</th></tr>\n";
  for (const RunRecord& run : runs) {
    html += "<tr>" + cell(run.date) + cell(run.start_time()) + cell(run.header.last_seen) +
            cell(run.stop ? *run.stop : "(no stop line)") + cell(run.header.serial) +
            "<td class=\"n\">" + std::to_string(run.rows) + "</td>" +
            cell(run.file + ':' + std::to_string(run.header.line)) + "</tr>\n";
  }
  return html + "</table>\n";
}

}  // namespace

std::string report_html(const std::string& folder, const std::vector<Fact>& facts,
                        const Summary& summary, const std::vector<RunRecord>& runs) {
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<title>kestrel report</title><style>";
  html += style;
  html += "</style></head><body>\n<h1>kestrel report</h1><p class=\"note\">" + escape_xml(folder) +
          "</p>\n" + facts_list(facts) + "\n";
  if (summary.days().empty()) {
    html += "<p>No detections.</p>\n";
  } else {
    html += "<div class=\"charts\">" + bar_chart("Detections per day", bars_per_day(summary)) +
            "</div>\n";
    for (const auto& [key, day] : summary.days()) html += day_section(day);
  }
  html += "<h2>Runs</h2>\n" + runs_table(runs) + "</body></html>\n";
  return html;
}

}  // namespace kestrel::report
