####################################################################################
#
# Backup der Datenbank 'shop'
# Erstellt: 08.12.2026 03:00:00
#
####################################################################################
/*M!999999\- enable the sandbox mode */

/*!\C utf8mb4 */
/*!40101 SET NAMES utf8mb4 */; /*!40014 SET FOREIGN_KEY_CHECKS=0 */; /*!40101 SET SQL_MODE='NO_AUTO_VALUE_ON_ZERO' */; /*!40103 SET TIME_ZONE='+00:00' */; /*!40014 SET autocommit=0 */;

# Tabelle 'orders'
# Update: '08.12.2026 02:00:00'
####################################################################################
DROP TABLE IF EXISTS `orders`;
CREATE TABLE `orders` (
  `id` varchar(200) DEFAULT NULL,
  `customer` varchar(200) DEFAULT NULL,
  `name` varchar(200) DEFAULT NULL,
  `note` varchar(200) DEFAULT NULL,
  `price` varchar(200) DEFAULT NULL,
  `created` varchar(200) DEFAULT NULL,
  `state` varchar(200) DEFAULT NULL,
  `memo` varchar(200) DEFAULT NULL,
  PRIMARY KEY (`id`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;
COMMIT;
# Einstellungen 'save-strucktur=1 save-daten=1 droptable=1'
# Kennung 'orders' 1796675194 InnoDB :31:18
