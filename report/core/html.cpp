#include "report/core/html.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string_view>

#include "report/core/fields.h"
#include "report/core/markup.h"
#include "report/core/svg.h"

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
tr.flag td{background:#fdecea}
.legend{color:#555;max-width:60em}
.clock{border:2px solid #c0392b;background:#fdf3f2;padding:8px 14px;margin:12px 0;max-width:60em}
.clock ul{margin:6px 0;padding-left:20px}
table.days{border-collapse:separate;border-spacing:2px;margin:4px 0}
table.days th,table.days td{border:0;padding:0;background:none;font-size:11px;color:#666}
table.days th{padding-right:6px;text-align:right;font-weight:normal}
table.days td{width:13px;height:13px}table.days tr:first-child th{text-align:left;padding:0}
table.days td.seen,.key.seen{background:#2f6fb3}table.days td.seen a{display:block;height:100%}
table.days td.on,.key.on{background:#9fd08c}
table.days td.off,.key.off{background:#fff;outline:1px solid #ccc;outline-offset:-1px}
table.days td.gap{width:auto;height:auto;padding:2px 0;font-style:italic}
.key{display:inline-block;width:11px;height:11px;margin:0 4px 0 10px;vertical-align:-1px}
)";

std::string day_anchor(Date date) { return "day-" + iso_date(date); }

std::string facts_list(const std::vector<Fact>& facts) {
  std::string items;
  for (const Fact& fact : facts) {
    items += text_element("dt", {}, fact.name) + text_element("dd", {}, fact.value);
  }
  return element("dl", {{"class", "facts"}}, items);
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

std::string day_section(const DayStats& day, uint32_t farthest) {
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
  std::string note = std::to_string(day.detections) + " detections, closest " +
                     distance_text(day.closest.centimetres) + " m at " + iso_time(day.closest.time);
  std::string charts = bar_chart("Detections per hour, " + date, hours) +
                       distance_chart("Distance (m) over the day, nearest to farthest per minute",
                                      day.per_minute, farthest);
  return element("section", {{"id", day_anchor(day.date)}},
                 text_element("h2", {}, date) + text_element("p", {{"class", "note"}}, note) +
                     element("div", {{"class", "charts"}}, charts)) +
         "\n";
}

std::string cell(std::string_view text) { return text_element("td", {}, text); }

// A last-seen text in the table: HH:MM:SS, or "none" for the blank left by an export.
std::string seen_cell(std::string_view text) {
  return cell(text.find_first_not_of(' ') == std::string_view::npos ? "none" : time_or_text(text));
}

constexpr std::string_view runs_legend =
    "<p class=\"legend\"><b>start</b>: when the logger started. <b>last seen before</b>: the "
    "time of the last detection before this start, as the logger kept it (none after an "
    "export). <b>stop</b>: the time of the run's last detection, written when a stick was put "
    "in (an export). <b>(no stop line)</b>: the run ended without an export (power cut, "
    "failure or restart). <b>clock</b>: ok, or what the run's dates show to be wrong with "
    "the logger's clock. runs.csv holds the texts as the tagsheets write them.</p>\n";

std::string run_row(const RunRecord& run, const ClockLimits& limits) {
  std::string cells =
      cell(run.date) + cell(run.start_time()) + seen_cell(run.header.last_seen) +
      (run.stop ? seen_cell(*run.stop) : cell("(no stop line)")) + cell(run.header.serial) +
      text_element("td", {{"class", "n"}}, std::to_string(run.rows)) +
      cell(run.clock.text(limits)) + cell(run.file + ':' + std::to_string(run.header.line));
  return (run.clock.ok() ? element("tr", {}, cells) : element("tr", {{"class", "flag"}}, cells)) +
         "\n";
}

std::string runs_table(const std::vector<RunRecord>& runs, const ClockLimits& limits) {
  std::string html = std::string(runs_legend) +
                     "<table><tr><th>date</th><th>start</th><th>last seen before</th>"
                     "<th>stop</th><th>serial number</th><th>rows</th><th>clock</th>"
                     "<th>tagsheet</th></tr>\n";
  for (const RunRecord& run : runs) {
    html += run_row(run, limits);
  }
  return html + "</table>\n";
}

std::string clock_warning(const std::vector<RunRecord>& runs, const ClockLimits& limits) {
  size_t wrong = 0;
  for (const RunRecord& run : runs) {
    wrong += run.clock.ok() ? 0 : 1;
  }
  if (wrong == 0) {
    return "";
  }
  return "<div class=\"clock\"><b>The logger's clock was wrong in " + std::to_string(wrong) +
         " of " + std::to_string(runs.size()) +
         " runs</b>, marked in the table of runs and in the clock column of runs.csv. Their "
         "dates and times cannot be trusted: their detections may show on the wrong days and "
         "hours, and the days above may be wrong too. A board without network or clock battery "
         "starts with the time saved before it lost power, so after an outage its dates are "
         "wrong.<ul>"
         "<li><b>starts before the previous run's last row</b>: the clock went back while the "
         "logger was off.</li>"
         "<li><b>rows earlier than the row before</b>: the clock went back while it ran.</li>"
         "<li><b>dates before the first release (" +
         iso_date(limits.first_release) +
         ")</b>: no logger ran then; the clock had been reset.</li>"
         "<li><b>dates after the export (in the future)</b>: later than this report, so later "
         "than the export that put them on the stick.</li></ul>"
         "<b>What to do:</b> fit the logger with a clock that keeps the time without power (a "
         "real-time clock module with a battery) or give it network time, and check its time "
         "at every visit. Read the marked runs with care: the order of their rows still holds, "
         "their dates do not.</div>\n";
}

std::string day_cell(Date date, DayState state, const Summary& summary) {
  std::string title = iso_date(date) + ": ";
  if (state == DayState::detections) {
    title += std::to_string(summary.days().at(date.key()).detections) + " detections";
    return element("td", {{"class", "seen"}},
                   element("a", {{"href", "#" + day_anchor(date)}, {"title", title}}, ""));
  }
  if (state == DayState::running) {
    return element("td", {{"class", "on"}, {"title", title + "logger running, no detections"}}, "");
  }
  return element("td", {{"class", "off"}, {"title", title + "no run"}}, "");
}

std::string month_name(Date date) { return iso_date(date).substr(0, 7); }

// What the page leaves out when the summary kept only the latest days day by day.
std::string days_left_out(const Summary& summary) {
  std::optional<Date> cut = summary.cut_off_before();
  if (!cut) {
    return "";
  }
  uint64_t kept = summary.days().size();
  return "<p class=\"note\">Shown day by day: the latest " + std::to_string(kept) +
         " days with detections, from " + iso_date(*cut) + ". The " +
         std::to_string(summary.detection_days().size() - kept) + " days before them, " +
         std::to_string(summary.detections_cut_off()) +
         " detections, count in the totals only.</p>\n";
}

std::string gap_row(Date from, Date to) {
  std::string span = from.key() == to.key() ? "in " + month_name(to)
                                            : "from " + month_name(from) + " to " + month_name(to);
  return element("tr", {},
                 element("th", {}, "") +
                     text_element("td", {{"class", "gap"}, {"colspan", "31"}}, "no run " + span)) +
         "\n";
}

// One row of day cells per month from the first day the summary keeps day by day; months
// without a run or a row make one line between.
std::string days_calendar(const DayMap& days, const Summary& summary) {
  Date first = summary.cut_off_before().value_or(days.first());
  std::string html = days_left_out(summary) + "<table class=\"days\"><tr><th></th>";
  for (int day = 1; day <= 31; ++day) {
    html += text_element("th", {}, day == 1 || day % 5 == 0 ? std::to_string(day) : "");
  }
  html += "</tr>\n";
  std::optional<Date> gap_from;
  Date gap_to;
  for (Date month{first.year, first.month, 1}; month.key() <= days.last().key();
       month = first_of_next_month(month)) {
    std::string cells;
    bool active = false;
    for (Date date = month; date.month == month.month; date = next_day(date)) {
      if (date.key() < first.key() || date.key() > days.last().key()) {
        cells += element("td", {}, "");
        continue;
      }
      DayState state = days.state(date);
      active = active || state != DayState::no_run;
      cells += day_cell(date, state, summary);
    }
    if (!active) {
      gap_from = gap_from ? gap_from : month;
      gap_to = month;
      continue;
    }
    if (gap_from) {
      html += gap_row(*gap_from, gap_to);
      gap_from.reset();
    }
    html += element("tr", {}, text_element("th", {}, month_name(month)) + cells) + "\n";
  }
  return html +
         "</table>\n<p class=\"legend\"><span class=\"key seen\"></span>detections"
         "<span class=\"key on\"></span>logger running, no detections"
         "<span class=\"key off\"></span>no run: the logger was off, or its run had ended "
         "without a stop line. A run counts from its start to its last row; a run ended by an "
         "export counts until the next start, as an export restarts the logger.</p>\n";
}

uint32_t farthest_distance(const Summary& summary) {
  uint32_t farthest = 0;
  for (const auto& [key, day] : summary.days()) {
    for (const MinuteRange& minute : day.per_minute) {
      farthest = minute.empty() ? farthest : std::max(farthest, minute.farthest);
    }
  }
  return farthest;
}

}  // namespace

std::string report_html(const std::string& folder, const std::vector<Fact>& facts,
                        const Summary& summary, const std::vector<RunRecord>& runs,
                        const DayMap& days, const ClockLimits& limits) {
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<title>kestrel report</title><style>";
  html += style;
  html += "</style></head><body>\n<h1>kestrel report</h1><p class=\"note\">" + escape_xml(folder) +
          "</p>\n" + facts_list(facts) + "\n" + clock_warning(runs, limits);
  if (!days.empty()) {
    html += "<h2>Days</h2>\n" + days_calendar(days, summary);
  }
  if (summary.days().empty()) {
    html += "<p>No detections.</p>\n";
  } else {
    html += element("div", {{"class", "charts"}},
                    bar_chart("Detections per day", bars_per_day(summary))) +
            "\n";
    uint32_t farthest = farthest_distance(summary);
    for (const auto& [key, day] : summary.days()) {
      html += day_section(day, farthest);
    }
  }
  html += "<h2>Runs</h2>\n" + runs_table(runs, limits) + "</body></html>\n";
  return html;
}

}  // namespace kestrel::report
