// The dashboards, one file each: jsonnet -m dashboards dashboards.jsonnet
(import 'mixin.libsonnet').grafanaDashboards
