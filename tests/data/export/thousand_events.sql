-- A thousand saved events with values of every kind the export writes: dates
-- with and without a time, times without a date, negative and small
-- coordinates, Null names, quotes, line breaks and letters beyond ASCII.
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000)
INSERT INTO GPS_READINGS (GPS_READING_ID, GMT, LATITUDE, LONGITUDE, SPEED, DIRECTION, ALTITUDE, FIX_QUALITY,
                          SATELLITES, HDOP, LOCKED)
SELECT i,
       CASE WHEN i % 97 = 0 THEN '2026-12-07'
            WHEN i % 89 = 0 THEN '12:34:56'
            ELSE printf('2026-%02d-%02d %02d:%02d:%02d', 1 + i % 12, 1 + i % 28, i % 24, (i * 7) % 60, (i * 13) % 60)
       END,
       ((i * 7919) % 180000) / 1000.0 - 90.0 + i / 1e7,
       ((i * 104729) % 360000) / 1000.0 - 180.0 - i / 3e7,
       (i % 50) / 3.0,
       (i * 37 % 3600) / 10.0,
       i % 500 - 20.5,
       i % 3,
       i % 13,
       (i % 40) / 10.0,
       i % 2
FROM n;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000)
INSERT INTO GEOCODED_EVENTS (GEOCODED_EVENT_ID, NAME, OBSERVER_MONIKER, EVENT_TYPE_ID, GPS_READING_ID, NOTES)
SELECT i,
       CASE WHEN i % 50 = 0 THEN NULL ELSE 'COM' || (1 + i % 4) END,
       CASE i % 3 WHEN 0 THEN 'crew "' || (i % 7) || '"' ELSE 'crew ' || (i % 5) END,
       CASE i % 7 WHEN 0 THEN 101 WHEN 1 THEN 108 WHEN 2 THEN 203 WHEN 3 THEN 305 WHEN 4 THEN 403 WHEN 5 THEN 102
                  ELSE 301 END,
       i,
       CASE i % 5 WHEN 0 THEN ''
                  WHEN 1 THEN 'line ' || i || char(13, 10) || 'second, "quoted"'
                  WHEN 2 THEN 'Zwölf Vögel ✓ ' || i
                  WHEN 3 THEN 'a,b'
                  ELSE 'note ' || i END
FROM n;
