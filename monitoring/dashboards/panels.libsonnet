// The few Grafana panel kinds the dashboard uses, and a layout that puts each row's panels side
// by side under its title, so that no two panels overlap and ids are given in order.
local datasource = { type: 'prometheus', uid: '${datasource}' };

local panel(type, title, targets, unit, width, options={}, defaults={}) = {
  type: type,
  title: title,
  datasource: datasource,
  targets: [
    {
      datasource: datasource,
      expr: t.expr,
      legendFormat: t.legend,
      refId: std.char(std.codepoint('A') + i),
    }
    for i in std.range(0, std.length(targets) - 1)
    for t in [targets[i]]
  ],
  fieldConfig: { defaults: { unit: unit } + defaults, overrides: [] },
  options: options,
  width:: width,
};

{
  timeseries(title, targets, unit, max=null, width=null)::
    panel('timeseries', title, targets, unit, width,
          options={ legend: { displayMode: 'list', placement: 'bottom' }, tooltip: { mode: 'multi' } },
          defaults={ [if max != null then 'max']: max, [if unit == 'percentunit' then 'min']: 0 }),

  stat(title, targets, unit, width=null)::
    panel('stat', title, targets, unit, width,
          options={ reduceOptions: { calcs: ['lastNotNull'] }, colorMode: 'value', graphMode: 'none' }),

  gauge(title, targets, width=null)::
    panel('gauge', title, targets, 'percentunit', width,
          options={ reduceOptions: { calcs: ['lastNotNull'] } },
          defaults={
            min: 0,
            max: 1,
            thresholds: { mode: 'absolute', steps: [
              { color: 'green', value: null },
              { color: 'orange', value: 0.8 },
              { color: 'red', value: 0.9 },
            ] },
          }),

  bargauge(title, targets, width=null)::
    self.gauge(title, targets, width) + { type: 'bargauge', options+: { orientation: 'horizontal' } },

  stateTimeline(title, targets, width=null)::
    panel('state-timeline', title, targets, 'bool_on_off', width,
          options={ showValue: 'never' }),

  // rows: [{ title, panels, height (8 unless given) }]; a panel's width is its own or an equal
  // share of the row's 24 columns.
  dashboard(title, uid, tags, instanceQuery, rows):: {
    local laidOut = std.foldl(
      function(acc, row)
        local height = std.get(row, 'height', 8);
        local n = std.length(row.panels);
        local share = std.floor(24 / n);
        local widths = [if p.width != null then p.width else share for p in row.panels];
        local xs = std.foldl(function(xs, w) xs + [xs[std.length(xs) - 1] + w], widths, [0]);
        {
          y: acc.y + 1 + height,
          id: acc.id + 1 + n,
          panels: acc.panels + [{
            type: 'row',
            title: row.title,
            id: acc.id,
            collapsed: false,
            gridPos: { h: 1, w: 24, x: 0, y: acc.y },
            panels: [],
          }] + [
            row.panels[i] + {
              id: acc.id + 1 + i,
              gridPos: { h: height, w: widths[i], x: xs[i], y: acc.y + 1 },
            }
            for i in std.range(0, n - 1)
          ],
        },
      rows,
      { y: 0, id: 1, panels: [] }
    ),

    title: title,
    uid: uid,
    tags: tags,
    timezone: 'browser',
    editable: true,
    graphTooltip: 1,
    refresh: '30s',
    time: { from: 'now-6h', to: 'now' },
    schemaVersion: 39,
    version: 1,
    annotations: { list: [] },
    links: [],
    templating: {
      list: [
        {
          name: 'datasource',
          label: 'Data source',
          type: 'datasource',
          query: 'prometheus',
          current: {},
          hide: 0,
          refresh: 1,
        },
        {
          name: 'instance',
          label: 'Host',
          type: 'query',
          datasource: datasource,
          query: { query: instanceQuery, refId: 'instance' },
          definition: instanceQuery,
          current: {},
          hide: 0,
          refresh: 2,
          sort: 1,
          includeAll: false,
          multi: false,
        },
      ],
    },
    panels: laidOut.panels,
  },
}
