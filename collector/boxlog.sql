-- One row per received line. Partitioned by the line's day, ordered by
-- MAC and time: "what did this box log in this window" reads one MAC's
-- range of each day's part.
CREATE DATABASE IF NOT EXISTS fleet;

CREATE TABLE IF NOT EXISTS fleet.boxlog (
    ts DateTime,        -- the line's own time (classic lines: year guessed)
    received DateTime,  -- when the collector got it
    mac String,         -- classic: the host field; TLS: the peer address
    prog String,        -- tag prefix and software version
    sev UInt8,
    fac UInt8,
    srcfile String,
    srcline Int32,
    code Int32,
    msg String
) ENGINE = MergeTree
PARTITION BY toYYYYMMDD(ts)
ORDER BY (mac, ts);
