"""Warehouse-style queries with their lineage worked out by hand.

Each case is (sql, expected) where expected is a set of
(database, table, source column, output column).
"""

CASES = [
    # Reporting joins with aliases on every side.
    (
        "select o.order_id, o.customer_id, c.name as customer_name\n"
        "from sales.orders o join crm.customers c on o.customer_id = c.id",
        {("sales", "orders", "order_id", "order_id"), ("sales", "orders", "customer_id", "customer_id"),
         ("crm", "customers", "name", "customer_name")},
    ),
    (
        "select a.id, b.score from db.users a\n"
        "left join (select user_id, score from db.scores) b on a.id = b.user_id",
        {("db", "users", "id", "id"), ("db", "scores", "score", "score")},
    ),
    (
        "select f.sale_id, d.calendar_date as sale_date, p.sku\n"
        "from dw.fact_sales f\n"
        "inner join dw.dim_date d on f.date_key = d.date_key\n"
        "inner join dw.dim_product p on f.product_key = p.product_key",
        {("dw", "fact_sales", "sale_id", "sale_id"), ("dw", "dim_date", "calendar_date", "sale_date"),
         ("dw", "dim_product", "sku", "sku")},
    ),
    # Sub-queries that rename, one and two levels deep.
    (
        "select r.region, r.revenue from (select region, amount as revenue from dw.fact_sales) r",
        {("dw", "fact_sales", "region", "region"), ("dw", "fact_sales", "amount", "revenue")},
    ),
    (
        "select u.id as user_id, u.email\n"
        "from (select id, email from (select id, email from prod.users) inner_u) u",
        {("prod", "users", "id", "user_id"), ("prod", "users", "email", "email")},
    ),
    (
        "select m.total as month_total\n"
        "from (select s.amt as total from (select amount as amt from fin.ledger) s) m",
        {("fin", "ledger", "amount", "month_total")},
    ),
    (
        "select c.customer_id as customer, c.region, o.total_amount as revenue\n"
        "from (select cust_id as customer_id, region from crm.customers where active = 1) c\n"
        "join (select s.cust_id, s.amount as total_amount from sales.orders s) o\n"
        "on c.customer_id = o.cust_id",
        {("crm", "customers", "cust_id", "customer"), ("crm", "customers", "region", "region"),
         ("sales", "orders", "amount", "revenue")},
    ),
    # Stars through sub-queries.
    (
        "select x.* from (select id, name from crm.customers) x",
        {("crm", "customers", "id", "id"), ("crm", "customers", "name", "name")},
    ),
    (
        "select * from (select id, name as customer_name from crm.customers) x",
        {("crm", "customers", "id", "id"), ("crm", "customers", "name", "customer_name")},
    ),
    (
        "select v.id from (select * from stage.events) v",
        {("stage", "events", "id", "id")},
    ),
    (
        "select v.event_id as id from (select * from (select event_id from raw.events) e) v",
        {("raw", "events", "event_id", "id")},
    ),
    ("select * from stage.events", {("stage", "events", "*", "*")}),
    ("select e.* from stage.events e", {("stage", "events", "*", "*")}),
    # Unqualified columns over one source.
    (
        "select order_id, amount as gross from sales.orders where amount > 0",
        {("sales", "orders", "order_id", "order_id"), ("sales", "orders", "amount", "gross")},
    ),
    (
        "select order_id from sales.orders o",
        {("sales", "orders", "order_id", "order_id")},
    ),
    (
        "select id, label from (select id, name as label from ref.codes) c",
        {("ref", "codes", "id", "id"), ("ref", "codes", "name", "label")},
    ),
    (
        "select id from (select id from (select id from ref.codes))",
        {("ref", "codes", "id", "id")},
    ),
    # Unions of reporting selects.
    (
        "select id from db.t1 union all select id from db.t2 union all select id from db.t3",
        {("db", "t1", "id", "id"), ("db", "t2", "id", "id"), ("db", "t3", "id", "id")},
    ),
    (
        "select a.id, a.name from crm.accounts a union select l.id, l.name from crm.leads l",
        {("crm", "accounts", "id", "id"), ("crm", "accounts", "name", "name"),
         ("crm", "leads", "id", "id"), ("crm", "leads", "name", "name")},
    ),
    (
        "select s.k as code_key from (select code as k from ref.a) s\n"
        "union all select code as code_key from ref.b",
        {("ref", "a", "code", "code_key"), ("ref", "b", "code", "code_key")},
    ),
    # Qualifiers that are table names, in any letter case.
    (
        "select orders.id, orders.total from sales.orders",
        {("sales", "orders", "id", "id"), ("sales", "orders", "total", "total")},
    ),
    (
        "select Orders.id from sales.orders join crm.customers on orders.cust = customers.id",
        {("sales", "orders", "id", "id")},
    ),
    (
        "select C.name, O.total from crm.customers c join sales.orders o on c.id = o.cust",
        {("crm", "customers", "name", "name"), ("sales", "orders", "total", "total")},
    ),
    # Expressions have no lineage of their own; plain columns beside them do.
    (
        "select region, sum(amount) as total from dw.fact_sales group by region",
        {("dw", "fact_sales", "region", "region")},
    ),
    (
        "select id, 'fixed' as tag, 42 as answer from ref.codes",
        {("ref", "codes", "id", "id")},
    ),
    ("select distinct region from dw.fact_sales", {("dw", "fact_sales", "region", "region")}),
    # Comments, hints and blank lines around the statement.
    (
        "/*+ parallel(8) */\n-- nightly extract\nselect t.id, -- primary key\n\n"
        "       t.status /* current */\nfrom ops.tickets t",
        {("ops", "tickets", "id", "id"), ("ops", "tickets", "status", "status")},
    ),
    # Quoted names with spaces come back with underscores.
    (
        'select "Customer Name" as "Display Name" from crm.customers',
        {("crm", "customers", "Customer_Name", "Display_Name")},
    ),
    (
        "select `order id` from sales.orders",
        {("sales", "orders", "order_id", "order_id")},
    ),
    # Filters, grouping and ordering leave the lineage alone.
    (
        "select t.a, t.b from db.t t where t.c > 5 order by t.a",
        {("db", "t", "a", "a"), ("db", "t", "b", "b")},
    ),
    (
        "select id from ops.tickets where id in (select ticket_id from ops.escalations)",
        {("ops", "tickets", "id", "id")},
    ),
    ("select id from ops.tickets limit 100", {("ops", "tickets", "id", "id")}),
]
