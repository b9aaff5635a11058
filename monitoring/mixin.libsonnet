(import 'config.libsonnet') +
(import 'rules.libsonnet') +
(import 'alerts.libsonnet') +
(import 'dashboards/dashboards.libsonnet')
