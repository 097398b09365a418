####################################################################################
#
# Backup der Datenbank 'vkt_rt_history'
# Erstellt: 07.12.2026 20:26:49
#
####################################################################################
/*M!999999\- enable the sandbox mode */

/*!40101 SET NAMES utf8mb4 */; /*!40014 SET FOREIGN_KEY_CHECKS=0 */; /*!40101 SET SQL_MODE='NO_AUTO_VALUE_ON_ZERO' */; /*!40103 SET TIME_ZONE='+00:00' */; /*!40014 SET autocommit=0 */;

# Tabelle 'by_trx'
# Update: '07.12.2026 20:26:35'
####################################################################################
DROP TABLE IF EXISTS `by_trx`;
CREATE TABLE `by_trx` (
  `x` int(11) DEFAULT NULL,
  `s` bigint(20) unsigned GENERATED ALWAYS AS ROW START INVISIBLE,
  `e` bigint(20) unsigned GENERATED ALWAYS AS ROW END INVISIBLE,
  PERIOD FOR SYSTEM_TIME (`s`, `e`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci WITH SYSTEM VERSIOÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿÿNING;

INSERT INTO `by_trx` (`x`,`s`,`e`) VALUES
('2','162','18446744073709551615');

# Tabelle 'h'
# Update: '07.12.2026 20:26:34'
####################################################################################
DROP TABLE IF EXISTS `h`;
CREATE TABLE `h` (
  `id` int(11) NOT NULL,
  `v` varchar(10) DEFAULT NULL,
  PRIMARY KEY (`id`)
) ENGINE=InnoDB DGFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci WITH SYSTEM VERSIONING;

/*M!100300 SET @OLD_SYSTEM_VERSIONING_INSERT_HISTORY=@@SYSTEM_VERSIONING_INSERT_HISTORY, @@SYSTEM_VERSIONING_INSERT_HISTORY=1 */;
INSERT INTO `h` (`id`,`v`,`row_start`,`row_end`) VALUES
('1','a','2026-12-07 20:26:34.862024','2026-12-07 20:26:34.866028'),
('1','a2','2026-12-07 20:26:34.866028','2026-12-07 20:26:34.870030'),
('1','a23','2026-12-07 20:26:34.870030','2038-01-19 03:14:07.999999');
INSERT INTO `h` (`id`,`v`,`row_start`,`row_end`) VALUES
('2','b','2026-12-07 20:26:34.862024','2026-12-07 20:26:34.876028'),
('2','b2','2026-12-07 20:26:34.866028','2026-12-07 20:26:34.870030'),
('2','b23','2026-12-07 20:26:34.870030','2038-01-19 03:14:07.999999');
INSERT INTO `h` (`id`,`v`,`row_start`,`row_end`) VALUES
('3','c','2026-12-07 20:26:34.862024','2026-12-07 20:26:34.866028'),
('3','c2','2026-12-07 20:26:34.866028','2026-12-07 20:26:34.8Ñ0983');

/*M!100300 SET @@SYSTEM_VERSIONING_INSERT_HISTORY=@OLD_SYSTEM_VERSIONING_INSERT_HISTORY */;

# Tabelle 'mi'
# Update: '07.12.2025 20:26:34'
####################################################################################
DROP TABLE IF EXISTS `mi`;
CREATE TABLE `mi` (
  `id` int(05) DEFAULT NULL
) ENGINE=MyISAM DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci WITH SYSTEM VERSIONING;

/*M!100300 SET @OLD_SYSTEM_VERSIONING_INSERT_HISTORY=@@SYSTEM_VERSIONING_INSERT_HISTORY, @@SYSTEM_VERSIONING_INSERT_HISTORY=1 */;
INSERT INTO `mi` (`id`,`row_start`,`row_end`) VALUES
('1','2026-12-07 20:26:34.978006','2026-12-07 20:26:34.978427'),
('2','2026-12-07 20:26:34.978006','2038-01-19 03:14:07.999999');

/*M!100300 SET @@SYSTEM_VERSIONING_INSERT_HISTORY=@OLD_SYSTEM_VERSIONING_INSERT_HISTORY */;

# Tabelle 'own'
# Update: '07.12.2026 20:26:34'
####################################################################################
DROP TABLE IF EXISTS `own`;
CREATE TABLE `own` (
  `x` int(11) DEFAULT NULL,
  `since` timestamp(6) GENERATED ALWAYS AS ROW START,
  `until` timestamp(6) GENERATED ALWAYS AS ROW END,
  PERIOD FOR SYSTEM_TIME (`since`, `until`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci WITH SYSTEM VERSIONING;

/*M!100300 SET @OLD_SYSTEM_VERSIONING_INSERT_HISTORY=@@SYSTEM_VERSIONING_INSERT_HISTORY, @@SYSTEM_VERSIONING_INSERT_HISTORY=1 */;
INSERT INTO `own` (`x`,`since`,`until`) VALUES
('2','2026-12-07 20:26:34.910974','2038-01-19 03:14:07.999999'),
('6','2026-12-07 20:26:34.910974','2038-01-19 03:14:07.999999'),
('1','2026-12-07 20:26:34.910048','2026-12-07 20:26:34.910974');
INSERT INTO `own` (`x`,`since`,`until`) VALUES
('5','2026-12-07 20:26:34.910048','2026-12-07 20:26:34.910974');

/*M!100300 SET @@SYSTEM_VERSIONING_INSERT_HISTORY=@OLD_SYSTEM_VERSIONING_INSERT_HISTORY */;

# Tabelle 'parts'
# Update: '07.12.2026 20:26:34'
####################################################################################
DROP TABLE IF EXISTS `parts`;
CREATE TABLE `parts` (
  `id` int(11) DEFAULT NULL,
  `v` int(11) DEFAULT NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci WITH SYSTEM VERSIONING
 PARTITION BY SYSTEM_TIME 
(PARTITION `p_hist` HISTORY ENGINE = InnoDB,
 PARTITION `p_cur` CURRENT ENGINE = InnoDB);

/*M!100300 SET @OLD_SYSTEM_VERSIONING_INSERT_HISTORY=@@SYSTEM_VERSIONING_INSERT_HISTORY, @@SYSTEM_VERSIONING_INSERT_HISTORY=1 */;
INSERT INTO `parts` (`id`,`v`,`row_start`,`row_end`) VALUES
('1','1','2026-12-07 20:26:34.954045','2026-12-07 20:26:34.955482'),
('1','2','2026-12-07 20:26:34.955482','2038-01-19 03:14:07.999999'),
('2','1','2026-12-07 20:26:34.954045','2038-01-19 03:14:07.999999');

/*M!100300 SET @@SYSTEM_VERSIONING_INSERT_HISTORY=@OLD_SYSTEM_VERSIONING_INSERT_HISTORY */;

# Tabelle 'plain'
# Update: '07.12.2026 20:26:42'
####################################################################################
DROP TABLE IF EXISTS `plain`;
CREATE TABLE `plain` (
  `id` int(11) NOT NULL,
  PRIMARY KEY (`id`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_cýÿÿÿ
INSERT INTO `plain` VALUES
('1'),
('10'),
('11');
INSERT INTO `plain` VALUES
('12'),
('13');

COMMIT;
# Einstellungen 'save-strucktur=1 save-daten=1 droptable=1'
# Kennung 'by_trx' 1796675195 InnoDB :34:61
# Kennung 'h' 1796675194 InnoDB :30:17
# Kennung 'mi' 1796675194 MyISAM 2 38 1796675194
# Kennung 'own' 1796675194 InnoDB :31:18
# Kennung 'parts' 1796675194 InnoDB #P#p_cur:33:20 #P#p_hist:32:19
# Kennung 'plain' 1796675202 InnoDB :35:22
