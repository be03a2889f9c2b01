-- Tables the daemon reads and writes. The daemon creates none of them: the console's
-- installation (or the run and test commands, for a private server) loads this file.
-- Every statement is idempotent, so the file can be loaded again into an existing server.

CREATE DATABASE IF NOT EXISTS security_dev CHARACTER SET utf8mb4;
CREATE DATABASE IF NOT EXISTS auditEvent_dev CHARACTER SET utf8mb4;

USE security_dev;

-- One row per managed device, keyed by the MAC address its agent reports. A registration
-- rewrites the whole row with `replace into`, so group_id goes back to its default (NULL).
CREATE TABLE IF NOT EXISTS asset_auth_record (
    id            VARCHAR(64)  NOT NULL,
    create_time   DATETIME     NULL,
    update_time   DATETIME     NULL,
    macAddr       VARCHAR(255) NOT NULL,
    localIpAddr   TEXT         NULL,
    netIpAddr     TEXT         NULL,
    hostName      TEXT         NULL,
    systemVersion TEXT         NULL,
    onlineState   INT          NOT NULL DEFAULT 0,
    authState     INT          NOT NULL DEFAULT 0,
    group_id      VARCHAR(255) NULL DEFAULT NULL,
    PRIMARY KEY (id),
    UNIQUE KEY uk_macAddr (macAddr),
    KEY idx_group (group_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- One row per policy the console wants delivered. processState: 0 pending, 1 handed out,
-- 2 no error reported within the wait, 3 an agent reported the error in processErrorInfo.
CREATE TABLE IF NOT EXISTS asset_business_config (
    id               INT          NOT NULL AUTO_INCREMENT,
    group_id         VARCHAR(255) NULL,
    dataType         INT          NULL,
    protoData        LONGBLOB     NULL,
    processState     INT          NOT NULL DEFAULT 0,
    processErrorInfo TEXT         NULL,
    PRIMARY KEY (id),
    KEY idx_state (processState)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

USE auditEvent_dev;

-- One row per uploaded security-audit record; the daemon inserts by position.
-- auditType holds the record's nType a second time.
CREATE TABLE IF NOT EXISTS secureLog_record (
    id          BIGINT       NOT NULL AUTO_INCREMENT,
    macAddr     VARCHAR(255) NOT NULL,
    logTime     INT          NULL,
    logType     INT          NULL,
    userName    TEXT         NULL,
    result      INT          NULL,
    auditType   INT          NULL,
    summary     TEXT         NULL,
    description TEXT         NULL,
    PRIMARY KEY (id),
    KEY idx_mac (macAddr)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- One table per system-log type, one row per uploaded line; the daemon inserts by position:
-- the MAC address, the line's first item as a number, then its further items as text. The
-- agents send five items per line, so each table has item1 (BIGINT) and item2 .. item5 (TEXT).

CREATE TABLE IF NOT EXISTS systemLog_switchInfo (
    id      BIGINT       NOT NULL AUTO_INCREMENT,
    macAddr VARCHAR(255) NOT NULL,
    item1   BIGINT       NULL,
    item2   TEXT         NULL,
    item3   TEXT         NULL,
    item4   TEXT         NULL,
    item5   TEXT         NULL,
    PRIMARY KEY (id),
    KEY idx_mac (macAddr)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS systemLog_systemInfo (
    id      BIGINT       NOT NULL AUTO_INCREMENT,
    macAddr VARCHAR(255) NOT NULL,
    item1   BIGINT       NULL,
    item2   TEXT         NULL,
    item3   TEXT         NULL,
    item4   TEXT         NULL,
    item5   TEXT         NULL,
    PRIMARY KEY (id),
    KEY idx_mac (macAddr)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS systemLog_startInfo (
    id      BIGINT       NOT NULL AUTO_INCREMENT,
    macAddr VARCHAR(255) NOT NULL,
    item1   BIGINT       NULL,
    item2   TEXT         NULL,
    item3   TEXT         NULL,
    item4   TEXT         NULL,
    item5   TEXT         NULL,
    PRIMARY KEY (id),
    KEY idx_mac (macAddr)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS systemLog_packetInfo (
    id      BIGINT       NOT NULL AUTO_INCREMENT,
    macAddr VARCHAR(255) NOT NULL,
    item1   BIGINT       NULL,
    item2   TEXT         NULL,
    item3   TEXT         NULL,
    item4   TEXT         NULL,
    item5   TEXT         NULL,
    PRIMARY KEY (id),
    KEY idx_mac (macAddr)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS systemLog_kernelInfo (
    id      BIGINT       NOT NULL AUTO_INCREMENT,
    macAddr VARCHAR(255) NOT NULL,
    item1   BIGINT       NULL,
    item2   TEXT         NULL,
    item3   TEXT         NULL,
    item4   TEXT         NULL,
    item5   TEXT         NULL,
    PRIMARY KEY (id),
    KEY idx_mac (macAddr)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS systemLog_softUpdateInfo (
    id      BIGINT       NOT NULL AUTO_INCREMENT,
    macAddr VARCHAR(255) NOT NULL,
    item1   BIGINT       NULL,
    item2   TEXT         NULL,
    item3   TEXT         NULL,
    item4   TEXT         NULL,
    item5   TEXT         NULL,
    PRIMARY KEY (id),
    KEY idx_mac (macAddr)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS systemLog_printInfo (
    id      BIGINT       NOT NULL AUTO_INCREMENT,
    macAddr VARCHAR(255) NOT NULL,
    item1   BIGINT       NULL,
    item2   TEXT         NULL,
    item3   TEXT         NULL,
    item4   TEXT         NULL,
    item5   TEXT         NULL,
    PRIMARY KEY (id),
    KEY idx_mac (macAddr)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS systemLog_recordInfo (
    id      BIGINT       NOT NULL AUTO_INCREMENT,
    macAddr VARCHAR(255) NOT NULL,
    item1   BIGINT       NULL,
    item2   TEXT         NULL,
    item3   TEXT         NULL,
    item4   TEXT         NULL,
    item5   TEXT         NULL,
    PRIMARY KEY (id),
    KEY idx_mac (macAddr)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS systemLog_auditInfo (
    id      BIGINT       NOT NULL AUTO_INCREMENT,
    macAddr VARCHAR(255) NOT NULL,
    item1   BIGINT       NULL,
    item2   TEXT         NULL,
    item3   TEXT         NULL,
    item4   TEXT         NULL,
    item5   TEXT         NULL,
    PRIMARY KEY (id),
    KEY idx_mac (macAddr)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS systemLog_sessionInfo (
    id      BIGINT       NOT NULL AUTO_INCREMENT,
    macAddr VARCHAR(255) NOT NULL,
    item1   BIGINT       NULL,
    item2   TEXT         NULL,
    item3   TEXT         NULL,
    item4   TEXT         NULL,
    item5   TEXT         NULL,
    PRIMARY KEY (id),
    KEY idx_mac (macAddr)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS systemLog_xorgInfo (
    id      BIGINT       NOT NULL AUTO_INCREMENT,
    macAddr VARCHAR(255) NOT NULL,
    item1   BIGINT       NULL,
    item2   TEXT         NULL,
    item3   TEXT         NULL,
    item4   TEXT         NULL,
    item5   TEXT         NULL,
    PRIMARY KEY (id),
    KEY idx_mac (macAddr)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS systemLog_appInfo (
    id      BIGINT       NOT NULL AUTO_INCREMENT,
    macAddr VARCHAR(255) NOT NULL,
    item1   BIGINT       NULL,
    item2   TEXT         NULL,
    item3   TEXT         NULL,
    item4   TEXT         NULL,
    item5   TEXT         NULL,
    PRIMARY KEY (id),
    KEY idx_mac (macAddr)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS systemLog_debugLevelInfo (
    id      BIGINT       NOT NULL AUTO_INCREMENT,
    macAddr VARCHAR(255) NOT NULL,
    item1   BIGINT       NULL,
    item2   TEXT         NULL,
    item3   TEXT         NULL,
    item4   TEXT         NULL,
    item5   TEXT         NULL,
    PRIMARY KEY (id),
    KEY idx_mac (macAddr)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS systemLog_infoLevelInfo (
    id      BIGINT       NOT NULL AUTO_INCREMENT,
    macAddr VARCHAR(255) NOT NULL,
    item1   BIGINT       NULL,
    item2   TEXT         NULL,
    item3   TEXT         NULL,
    item4   TEXT         NULL,
    item5   TEXT         NULL,
    PRIMARY KEY (id),
    KEY idx_mac (macAddr)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS systemLog_noticeLevelInfo (
    id      BIGINT       NOT NULL AUTO_INCREMENT,
    macAddr VARCHAR(255) NOT NULL,
    item1   BIGINT       NULL,
    item2   TEXT         NULL,
    item3   TEXT         NULL,
    item4   TEXT         NULL,
    item5   TEXT         NULL,
    PRIMARY KEY (id),
    KEY idx_mac (macAddr)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS systemLog_warningLevelInfo (
    id      BIGINT       NOT NULL AUTO_INCREMENT,
    macAddr VARCHAR(255) NOT NULL,
    item1   BIGINT       NULL,
    item2   TEXT         NULL,
    item3   TEXT         NULL,
    item4   TEXT         NULL,
    item5   TEXT         NULL,
    PRIMARY KEY (id),
    KEY idx_mac (macAddr)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS systemLog_errLevelInfo (
    id      BIGINT       NOT NULL AUTO_INCREMENT,
    macAddr VARCHAR(255) NOT NULL,
    item1   BIGINT       NULL,
    item2   TEXT         NULL,
    item3   TEXT         NULL,
    item4   TEXT         NULL,
    item5   TEXT         NULL,
    PRIMARY KEY (id),
    KEY idx_mac (macAddr)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS systemLog_critLevelInfo (
    id      BIGINT       NOT NULL AUTO_INCREMENT,
    macAddr VARCHAR(255) NOT NULL,
    item1   BIGINT       NULL,
    item2   TEXT         NULL,
    item3   TEXT         NULL,
    item4   TEXT         NULL,
    item5   TEXT         NULL,
    PRIMARY KEY (id),
    KEY idx_mac (macAddr)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS systemLog_alertLevelInfo (
    id      BIGINT       NOT NULL AUTO_INCREMENT,
    macAddr VARCHAR(255) NOT NULL,
    item1   BIGINT       NULL,
    item2   TEXT         NULL,
    item3   TEXT         NULL,
    item4   TEXT         NULL,
    item5   TEXT         NULL,
    PRIMARY KEY (id),
    KEY idx_mac (macAddr)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS systemLog_emergLevelInfo (
    id      BIGINT       NOT NULL AUTO_INCREMENT,
    macAddr VARCHAR(255) NOT NULL,
    item1   BIGINT       NULL,
    item2   TEXT         NULL,
    item3   TEXT         NULL,
    item4   TEXT         NULL,
    item5   TEXT         NULL,
    PRIMARY KEY (id),
    KEY idx_mac (macAddr)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
