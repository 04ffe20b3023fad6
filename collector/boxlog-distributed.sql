-- More than one store node: every node holds fleet.boxlog (boxlog.sql);
-- this table, on the node syslog-ng posts to, spreads the rows over the
-- cluster "fleet" (remote_servers in the node's config), each MAC on one
-- shard, and queries all shards. Point the http() destination's INSERT at
-- fleet.boxlog_all instead of fleet.boxlog.
CREATE TABLE IF NOT EXISTS fleet.boxlog_all AS fleet.boxlog
ENGINE = Distributed(fleet, fleet, boxlog, cityHash64(mac));
