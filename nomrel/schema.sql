-- The event database of the receiver component (Nomrel.mdb).
-- GMT is a date and time (UTC text "yyyy-mm-dd hh:mm:ss"), LATITUDE to
-- DIRECTION are numbers (degrees, metres per second, degrees true), LOCKED is a
-- true/false value stored as 1/0. NAME holds the port the reading came from,
-- OBSERVER_MONIKER the capturing client's identifier.
-- The quality of each fix: ACCURACY_M the horizontal accuracy in metres at 95%
-- confidence, FIX_AGE_S the fix's age in seconds when it was taken, SAMPLES how
-- many readings an averaged capture kept (1 for a plain save) and SPREAD_M
-- their spread in metres (Null for a plain save). TRACK_ID groups the events
-- of one tracking run (Null for an event saved by hand). A database made
-- before these columns existed gets them at start-up (EventStore.cpp).
CREATE TABLE IF NOT EXISTS GPS_READINGS (
    GPS_READING_ID INTEGER PRIMARY KEY AUTOINCREMENT,
    GMT DATETIME NOT NULL,
    LATITUDE DOUBLE NOT NULL,
    LONGITUDE DOUBLE NOT NULL,
    SPEED DOUBLE NOT NULL,
    DIRECTION DOUBLE NOT NULL,
    ALTITUDE DOUBLE,
    FIX_QUALITY INTEGER,
    SATELLITES INTEGER,
    HDOP DOUBLE,
    LOCKED BOOLEAN NOT NULL,
    ACCURACY_M DOUBLE,
    FIX_AGE_S DOUBLE,
    SAMPLES INTEGER,
    SPREAD_M DOUBLE
);
CREATE TABLE IF NOT EXISTS GEOCODED_EVENTS (
    GEOCODED_EVENT_ID INTEGER PRIMARY KEY AUTOINCREMENT,
    NAME TEXT,
    OBSERVER_MONIKER TEXT,
    EVENT_TYPE_ID SMALLINT NOT NULL,
    GPS_READING_ID INTEGER NOT NULL REFERENCES GPS_READINGS (GPS_READING_ID),
    NOTES TEXT NOT NULL DEFAULT '',
    TRACK_ID INTEGER
);
CREATE INDEX IF NOT EXISTS GEOCODED_EVENTS_BY_READING ON GEOCODED_EVENTS (GPS_READING_ID);
CREATE VIEW IF NOT EXISTS GEOCODED_EVENTS_WITH_GPS_READINGS AS
SELECT E.GEOCODED_EVENT_ID AS GEOCODED_EVENT_ID,
       E.NAME AS NAME,
       E.OBSERVER_MONIKER AS OBSERVER_MONIKER,
       E.EVENT_TYPE_ID AS EVENT_TYPE_ID,
       E.GPS_READING_ID AS GPS_READING_ID,
       R.GMT AS GMT,
       R.LATITUDE AS LATITUDE,
       R.LONGITUDE AS LONGITUDE,
       R.SPEED AS SPEED,
       R.DIRECTION AS DIRECTION,
       R.LOCKED AS LOCKED,
       E.NOTES AS NOTES
FROM GEOCODED_EVENTS E
JOIN GPS_READINGS R ON R.GPS_READING_ID = E.GPS_READING_ID
ORDER BY E.GEOCODED_EVENT_ID;
