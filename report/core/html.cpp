#include "report/core/html.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "report/core/calendar.h"
#include "report/core/fields.h"
#include "report/core/markup.h"
#include "report/core/svg.h"
#include "report/core/template.h"
#include "report/core/templates.h"

namespace kestrel::report {

namespace {

// Longer spans get a bar per day with detections instead of one per calendar day.
constexpr int max_calendar_years = 10;

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
  auto add = [&](Date date, std::uint64_t count) {
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
  std::size_t every = bars.size() / 8 + 1;
  for (std::size_t i = 0; i < bars.size(); i += every) {
    bars[i].label = bars[i].tooltip.substr(0, 10);
  }
  return bars;
}

std::string day_section(const DayStats& day, std::uint32_t farthest) {
  std::vector<Bar> hours(24);
  for (int hour = 0; hour < 24; ++hour) {
    std::string time = iso_time(TimeOfDay{hour, 0, 0});
    hours[hour] = Bar{day.per_hour[hour],
                      hour % 3 == 0 ? time.substr(0, 2) : "",
                      time.substr(0, 5) + ": " + std::to_string(day.per_hour[hour]) + " detections",
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

std::string run_row(const RunRecord& run, const ClockLimits& limits) {
  std::string cells =
      cell(run.date) + cell(time_or_text(run.header.start_time)) + seen_cell(run.header.last_seen) +
      (run.stop ? seen_cell(*run.stop) : cell("(no stop line)")) + cell(run.header.serial) +
      text_element("td", {{"class", "n"}}, std::to_string(run.rows)) +
      cell(run.clock.text(limits)) + cell(run.file + ':' + std::to_string(run.header.line));
  return (run.clock.ok() ? element("tr", {}, cells) : element("tr", {{"class", "flag"}}, cells)) +
         "\n";
}

std::string runs_table(const std::vector<RunRecord>& runs, const ClockLimits& limits) {
  std::string rows;
  for (const RunRecord& run : runs) rows += run_row(run, limits);
  return fill(templates::runs, {{"ROWS", rows}});
}

std::string clock_warning(const std::vector<RunRecord>& runs, const ClockLimits& limits) {
  auto wrong =
      std::count_if(runs.begin(), runs.end(), [](const RunRecord& run) { return !run.clock.ok(); });
  if (wrong == 0) return "";
  return fill(templates::clock_warning, {{"WRONG", std::to_string(wrong)},
                                         {"RUNS", std::to_string(runs.size())},
                                         {"FIRST_RELEASE", iso_date(limits.first_release)}});
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
std::string days_cut_off(const Summary& summary, const DayMap& days) {
  std::optional<Date> cut = summary.cut_off_before();
  if (!cut) return "";
  std::uint64_t kept = summary.days().size();
  return fill(templates::days_cut_off,
              {{"KEPT", std::to_string(kept)},
               {"FROM", iso_date(*cut)},
               {"BEFORE", std::to_string(days.count(DayState::detections) - kept)},
               {"DETECTIONS", std::to_string(summary.detections_cut_off())}});
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
  std::string months;
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
      months += gap_row(*gap_from, gap_to);
      gap_from.reset();
    }
    months += element("tr", {}, text_element("th", {}, month_name(month)) + cells) + "\n";
  }
  return fill(templates::days, {{"CUT_OFF", days_cut_off(summary, days)}, {"MONTHS", months}});
}

std::uint32_t farthest_distance(const Summary& summary) {
  std::uint32_t farthest = 0;
  for (const auto& [key, day] : summary.days()) {
    for (const MinuteRange& minute : day.per_minute) {
      farthest = minute.empty() ? farthest : std::max(farthest, minute.farthest);
    }
  }
  return farthest;
}

std::string detections_part(const Summary& summary) {
  if (summary.days().empty()) return "<p>No detections.</p>\n";
  std::string html = element("div", {{"class", "charts"}},
                             bar_chart("Detections per day", bars_per_day(summary))) +
                     "\n";
  std::uint32_t farthest = farthest_distance(summary);
  for (const auto& [key, day] : summary.days()) html += day_section(day, farthest);
  return html;
}

}  // namespace

void write_report_html(TextSink& page, const std::string& folder, const std::vector<Fact>& facts,
                       const Summary& summary, const std::vector<RunRecord>& runs,
                       const DayMap& days, const ClockLimits& limits) {
  fill(page, templates::report,
       {{"FOLDER", escape_xml(folder)},
        {"FACTS", facts_list(facts)},
        {"CLOCK_WARNING", clock_warning(runs, limits)},
        {"DAYS", days.empty() ? "" : days_calendar(days, summary)},
        {"DETECTIONS", detections_part(summary)},
        {"RUNS", runs_table(runs, limits)}});
}

}  // namespace kestrel::report
