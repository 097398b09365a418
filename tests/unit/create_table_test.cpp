#include "backup/create_table.h"

#include <gtest/gtest.h>

// Structures as MariaDB and MySQL print them are taken; any other shape,
// one that fills or shapes the table from another above all, is not.
TEST(CreateTable, OnlyTheShapeTheServerPrintsIsTaken) {
  const std::string columns = "CREATE TABLE `t` (\n  `id` int(11) NOT NULL,\n"
                              "  `v` varchar(10) DEFAULT 'a,b)',\n  PRIMARY KEY (`id`),\n"
                              "  KEY `v` (`v`(3)) COMMENT 'k',\n"
                              "  CONSTRAINT `c` CHECK (`id` > 0)\n)";
  const struct {
    std::string tail;  // after the columns
    bool taken;
  } cases[] = {
      {" ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci", true},
      {" ENGINE=MyISAM DATA DIRECTORY='/d' INDEX DIRECTORY='/i' `opt`='x' CHECKSUM=1", true},
      {" ENGINE=MRG_MyISAM INSERT_METHOD=LAST UNION=(`a`,`b`)", true},
      {" ENGINE=InnoDB WITH SYSTEM VERSIONING\n PARTITION BY SYSTEM_TIME INTERVAL 1 MONTH "
       "STARTS TIMESTAMP'2026-01-01 00:00:00' AUTO\nPARTITIONS 3",
       true},
      {" ENGINE=InnoDB\n PARTITION BY RANGE (`id`)\n(PARTITION `p0` VALUES LESS THAN (10) "
       "ENGINE = InnoDB,\n PARTITION `p1` VALUES LESS THAN MAXVALUE ENGINE = InnoDB)",
       true},
      {" ENGINE=InnoDB /*!50100 TABLESPACE `ts` */\n/*!50100 PARTITION BY HASH (`id`)\n"
       "PARTITIONS 2 */",
       true},
      {" ENGINE=InnoDB SELECT * FROM mysql.user", false},
      {" ENGINE=InnoDB AS SELECT 1", false},
      {" ENGINE=InnoDB\n PARTITION BY HASH (`id`) PARTITIONS 2 SELECT * FROM mysql.user", false},
      {" ENGINE=InnoDB IGNORE SELECT 1", false},
      // The engine as the server prints it: a bare word.
      {" ENGINE='MRG_MyISAM' UNION=(`a`)", false},
      {" ENGINE=`MRG_MyISAM` UNION=(`a`)", false},
      {"\n PARTITION BY HASH (`id`)\n(PARTITION `p0` ENGINE = 'SPIDER')", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tail);
    EXPECT_EQ(create_table::readsAsPrinted(columns + c.tail), c.taken);
  }
  EXPECT_FALSE(create_table::readsAsPrinted("CREATE TABLE `t` (\n  SELECT * FROM mysql.user\n)"));
  EXPECT_FALSE(create_table::readsAsPrinted("CREATE TABLE `t` LIKE mysql.user"));
  EXPECT_FALSE(create_table::readsAsPrinted("CREATE TABLE `t` (\n  `id` int(11)\n"));

  const std::string sequence = "CREATE SEQUENCE `s` start with -5 minvalue -10 maxvalue 100 "
                               "increment by -2 nocache cycle ENGINE=Aria COMMENT='x;y'";
  EXPECT_TRUE(create_table::readsAsPrinted(sequence));
  EXPECT_TRUE(create_table::readsAsPrinted(
      "CREATE SEQUENCE `s` as tinyint unsigned start with 1 minvalue 1 maxvalue 254 "
      "increment by 1 cache 1000 nocycle ENGINE=InnoDB"));
  EXPECT_FALSE(create_table::readsAsPrinted(sequence + " SELECT 1"));
  EXPECT_FALSE(create_table::readsAsPrinted("CREATE SEQUENCE `s` ENGINE=InnoDB"));

  // Rows of its own only where the definition proves them: every engine
  // named, the partitions' too, and a CONNECT table's options.
  const struct {
    std::string tail;
    bool own;
  } storages[] = {
      {" ENGINE=InnoDB DEFAULT CHARSET=utf8mb4", true},
      {" ENGINE=MRG_MyISAM INSERT_METHOD=LAST UNION=(`a`,`b`)", false},
      {"\n PARTITION BY HASH (`id`)\n(PARTITION `p0` ENGINE = SPIDER COMMENT = 'x',\n"
       " PARTITION `p1` ENGINE = InnoDB)",
       false},
      {" ENGINE=CONNECT DEFAULT CHARSET=utf8mb4 `TABLE_TYPE`='CSV'", true},
      {" ENGINE=CONNECT `table_type`='dbf' `HEADER`=1 `SEP_CHAR`=';'", true},
      {" ENGINE=CONNECT `TABLE_TYPE`='CSV' `FILE_NAME`='/tmp/x.csv'", false},
      {" ENGINE=CONNECT CONNECTION='mysql://u@h/d/t' `TABLE_TYPE`='MYSQL'", false},
      {" ENGINE=CONNECT `TABLE_TYPE`='MYSQL'", false},
      {" ENGINE=CONNECT `TABLE_TYPE`='PROXY' `TABNAME`='t'", false},
      {" ENGINE=CONNECT", false},
      {" ENGINE=CONNECT `TABLE_TYPE`='CSV' `MULTIPLE`=1", false},
      {" ENGINE=CONNECT `TABLE_TYPE`='C SV'", false},
      {" ENGINE=CONNECT `TABLE_TYPE`='CSV'\n PARTITION BY HASH (`id`) PARTITIONS 2", false},
  };
  for (const auto& c : storages) {
    SCOPED_TRACE(c.tail);
    create_table::Storage storage;
    ASSERT_TRUE(create_table::readsAsPrinted(columns + c.tail, &storage));
    EXPECT_EQ(create_table::keepsOwnRows(storage), c.own);
  }
}
